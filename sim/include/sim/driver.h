// Loading and stopping a driver, as the I/O manager, the service control
// manager and NDIS do it.
//
// Load: a DRIVER_OBJECT whose every MajorFunction is the I/O manager's
// default (completes the request with STATUS_INVALID_DEVICE_REQUEST), whose
// DriverExtension->ServiceKeyName is the service's name, and DriverEntry
// called at PASSIVE_LEVEL with the service's registry path. Devices created
// there can be opened once DriverEntry has succeeded. A driver whose
// DriverEntry fails must leave no device behind (rule driver.load-left-device).
//
// Stop, in the order Windows follows for an NDIS protocol driver:
//   1. NDIS unbinds every binding of the protocols the driver registered
//      (UnbindAdapterHandler), once: a binding whose unbind the adapter's
//      removal began is not asked again, and waits until each unbind has
//      completed, that one included, and every open of those protocols has
//      closed, completion handler and all (a close that ends a failed bind);
//      hook point "NdisCloses.wait" (sim/hooks.h): right before that wait, as
//      also in NdisDeregisterProtocol, which waits for them too;
//   2. NDIS calls the UnloadHandler of each of those protocols, which so
//      finds no binding left;
//   3. the I/O manager calls DriverUnload once no file is open on the
//      driver's devices: at once, or when the last open file is closed.
// After DriverUnload the driver must have deleted its devices (rule
// driver.unload-left-device) and deregistered its protocols (rule
// driver.unload-left-protocol). Its code stays mapped until every I/O work
// item queued on its devices has returned, which the stop waits for; NDIS
// work items hold nothing, so none may be queued or running when
// DriverUnload returns or when the last I/O work item has (rule
// driver.routine-after-unload).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/io.h"
#include "sim/io.h"

namespace sim {

struct DriverState;
class DriverImage;

class Driver {
public:
    // The status DriverEntry returned; a failed load leaves no driver object.
    // An `image` holding `entry` is kept until the driver object goes, and
    // loses its discardable sections once DriverEntry has returned.
    static NTSTATUS Load(PDRIVER_INITIALIZE entry, const std::u16string &serviceName, Driver *driver,
                         std::shared_ptr<DriverImage> image = nullptr);

    PDRIVER_OBJECT Object() const;
    // Steps 1 to 3 above; true when DriverUnload has run and the driver's
    // I/O work items have returned before it returns.
    bool Stop(std::chrono::milliseconds limit = kWaitLimit) const;
    bool Unloaded() const;
    // True once DriverUnload has returned; false when `limit` ran out first.
    bool WaitUnloaded(std::chrono::milliseconds limit = kWaitLimit) const;

private:
    std::shared_ptr<DriverState> state_;
};

// The world's part (sim::ResetWorld).
void ResetDrivers();

}  // namespace sim
