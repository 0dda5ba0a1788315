// A client of the control device: one open handle and the device-control
// requests it sends, as a user-mode program's DeviceIoControl calls arrive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ndis.h"
#include "sim/device_control.h"

namespace rztest {

class ControlClient {
public:
    explicit ControlClient(PDEVICE_OBJECT device);
    // The handle goes: cleanup, then close, unless that happened already.
    ~ControlClient();
    ControlClient(const ControlClient &) = delete;
    ControlClient &operator=(const ControlClient &) = delete;

    const sim::File &File() const { return file_; }

    // Any control code with any input; the request is dispatched in this thread.
    sim::ControlRequest Send(ULONG code, std::vector<uint8_t> input, ULONG outputLength = 0);
    // Built but not yet dispatched, for a test that acts on it first.
    sim::ControlRequest Build(ULONG code, std::vector<uint8_t> input, ULONG outputLength = 0);

    // IOCTL_RELAY_OPEN_ADAPTER with the name's UTF-16 bytes, no terminator.
    sim::ControlRequest Attach(const std::u16string &name);
    // IOCTL_RELAY_QUERY_OID: the OID, then room for the answer.
    sim::ControlRequest Query(NDIS_OID oid, ULONG outputLength);
    // IOCTL_RELAY_SET_OID: the OID followed by the value.
    sim::ControlRequest Set(NDIS_OID oid, std::vector<uint8_t> value, ULONG outputLength = 0);
    // IOCTL_RELAY_WAIT_STATUS for one NDIS status.
    sim::ControlRequest Wait(NDIS_STATUS status, ULONG outputLength);

    // IRP_MJ_CLEANUP: the handle's last user let it go.
    void Cleanup();
    // IRP_MJ_CLOSE: the file object goes, and with it its attachment.
    void Close();

private:
    sim::File file_;
    bool cleanedUp_ = false;
    bool closed_ = false;
};

// Bytes of a value as a client lays it out in a buffer.
std::vector<uint8_t> Bytes(ULONG value);
std::vector<uint8_t> Bytes(const std::u16string &text);
// The 32-bit value at the start of a buffer (0 when it is shorter).
ULONG ValueOf(const std::vector<uint8_t> &bytes);

}  // namespace rztest
