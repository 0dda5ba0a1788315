#include "tests/support/loaded_driver.h"

#include "control/relay_ioctl.h"
#include "core/driver.h"
#include "sim/direct_io.h"
#include "tests/support/secure_creation.h"
#include "tests/support/control_client.h"
#include "tests/support/rezezura_load.h"

namespace rztest {

void LoadedDriverTest::TearDown()
{
    for (const sim::ClientHandle &handle : handles_) {
        handle.Close();
    }
    EXPECT_TRUE(sim::WaitForDeferredCloses());
    if (loaded_) {
        EXPECT_TRUE(Stop());
    }
    SimTest::TearDown();
}

NTSTATUS LoadedDriverTest::Load()
{
    NTSTATUS status = LoadRezezura(&driver_);
    loaded_ = NT_SUCCESS(status);
    return status;
}

bool LoadedDriverTest::Stop()
{
    loaded_ = false;
    return driver_.Stop();
}

sim::Adapter LoadedDriverTest::AddAdapter(const std::u16string &name, NDIS_MEDIUM medium)
{
    sim::AdapterConfig config;
    config.name = name;
    config.medium = medium;
    return sim::AddAdapter(config);
}

NTSTATUS LoadedDriverTest::Open(const std::u16string &name, sim::Account account, sim::ClientHandle *handle)
{
    NTSTATUS status = sim::ClientHandle::Open(name, account, GENERIC_READ | GENERIC_WRITE, handle);
    if (NT_SUCCESS(status)) {
        handles_.push_back(*handle);
    }
    return status;
}

sim::ClientHandle LoadedDriverTest::OpenDevice()
{
    sim::ClientHandle handle;
    EXPECT_EQ(Open(kDevicePath, sim::Account::Administrator, &handle), STATUS_SUCCESS);
    return handle;
}

sim::ClientHandle LoadedDriverTest::AttachedHandle(const sim::Adapter &adapter)
{
    sim::ClientHandle handle = OpenDevice();
    sim::ControlRequest attach = handle.Control(IOCTL_RELAY_OPEN_ADAPTER, Bytes(adapter.Name()), 0);
    EXPECT_EQ(FinalStatusOf(attach), STATUS_SUCCESS);
    return handle;
}

NTSTATUS FinalStatusOf(const sim::Request &request)
{
    return request.WaitForCompletion() ? request.FinalStatus().Status : STATUS_PENDING;
}

std::vector<uint8_t> ReadBytes(const sim::Request &read)
{
    std::vector<uint8_t> bytes = sim::CallerBytes(read);
    bytes.resize(read.FinalStatus().Information);
    return bytes;
}

}  // namespace rztest
