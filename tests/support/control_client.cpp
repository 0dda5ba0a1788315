#include "tests/support/control_client.h"

#include <gtest/gtest.h>

#include <cstring>

#include "control/device_control.h"
#include "control/relay_ioctl.h"
#include "core/driver.h"
#include "relay/queue.h"

namespace rztest {

ControlClient::ControlClient(PDEVICE_OBJECT device) : file_(device) {}

ControlClient::~ControlClient()
{
    Cleanup();
    Close();
}

sim::ControlRequest ControlClient::Build(ULONG code, std::vector<uint8_t> input, ULONG outputLength)
{
    return sim::ControlRequest(file_, code, std::move(input), outputLength);
}

sim::ControlRequest ControlClient::Send(ULONG code, std::vector<uint8_t> input, ULONG outputLength)
{
    sim::ControlRequest request = Build(code, std::move(input), outputLength);
    request.Dispatch(RelayDispatchDeviceControl);
    return request;
}

sim::ControlRequest ControlClient::Attach(const std::u16string &name)
{
    return Send(IOCTL_RELAY_OPEN_ADAPTER, Bytes(name));
}

sim::ControlRequest ControlClient::Query(NDIS_OID oid, ULONG outputLength)
{
    return Send(IOCTL_RELAY_QUERY_OID, Bytes(oid), outputLength);
}

sim::ControlRequest ControlClient::Set(NDIS_OID oid, std::vector<uint8_t> value, ULONG outputLength)
{
    std::vector<uint8_t> input = Bytes(oid);
    input.insert(input.end(), value.begin(), value.end());
    return Send(IOCTL_RELAY_SET_OID, std::move(input), outputLength);
}

sim::ControlRequest ControlClient::Wait(NDIS_STATUS status, ULONG outputLength)
{
    return Send(IOCTL_RELAY_WAIT_STATUS, Bytes(static_cast<ULONG>(status)), outputLength);
}

void ControlClient::Cleanup()
{
    if (cleanedUp_) {
        return;
    }
    cleanedUp_ = true;
    sim::Request cleanup = sim::SendRequest(IRP_MJ_CLEANUP, file_, RelayDispatchCleanup);
    EXPECT_EQ(cleanup.FinalStatus().Status, STATUS_SUCCESS);
}

// What the driver's close does with the file's attachment.
void ControlClient::Close()
{
    if (closed_) {
        return;
    }
    closed_ = true;
    sim::Request close(IRP_MJ_CLOSE, file_);
    EXPECT_EQ(close.Dispatch(RelayDispatchClose), STATUS_SUCCESS);
}

std::vector<uint8_t> Bytes(ULONG value)
{
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

std::vector<uint8_t> Bytes(const std::u16string &text)
{
    std::vector<uint8_t> bytes(text.size() * sizeof(char16_t));
    if (!bytes.empty()) {
        std::memcpy(bytes.data(), text.data(), bytes.size());
    }
    return bytes;
}

ULONG ValueOf(const std::vector<uint8_t> &bytes)
{
    ULONG value = 0;
    if (bytes.size() >= sizeof value) {
        std::memcpy(&value, bytes.data(), sizeof value);
    }
    return value;
}

}  // namespace rztest
