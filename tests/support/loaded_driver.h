// The whole driver as Windows runs it: rezezura loaded through DriverEntry,
// adapters the stack offers, and clients that reach it only through handles
// opened by name. At the end of a test the handles close and the driver
// stops (unbind, unload) before the world is checked.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "sim/client.h"
#include "sim/driver.h"
#include "sim/ndis.h"
#include "tests/support/sim_test.h"

namespace rztest {

constexpr char16_t kDevicePath[] = u"\\\\.\\rezezura";

class LoadedDriverTest : public SimTest {
protected:
    void TearDown() override;

    // DriverEntry through the loader; its status.
    NTSTATUS Load();
    sim::Driver &Driver() { return driver_; }
    // Stops the driver as the service control manager does; true once it unloaded.
    bool Stop();

    // An adapter of the given name that has arrived (bound when the driver is loaded).
    sim::Adapter AddAdapter(const std::u16string &name, NDIS_MEDIUM medium = NdisMedium802_3);

    // CreateFile by name; the status, and the handle in *handle on success.
    NTSTATUS Open(const std::u16string &name, sim::Account account, sim::ClientHandle *handle);
    // An administrator's read-write handle on the device, failing the test otherwise.
    sim::ClientHandle OpenDevice();
    // A handle attached to the adapter by the attach request.
    sim::ClientHandle AttachedHandle(const sim::Adapter &adapter);

private:
    sim::Driver driver_;
    bool loaded_ = false;
    std::deque<sim::ClientHandle> handles_;
};

// The final status of a request, once it completed (STATUS_PENDING if it did not).
NTSTATUS FinalStatusOf(const sim::Request &request);
// The bytes a completed read returned.
std::vector<uint8_t> ReadBytes(const sim::Request &read);

}  // namespace rztest
