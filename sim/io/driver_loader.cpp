// Driver objects from load to unload.
#include "sim/driver.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <vector>

#include "sim/client.h"
#include "sim/io/client_internal.h"
#include "sim/device_objects.h"
#include "sim/io/driver_call.h"
#include "sim/schedule.h"
#include "sim/image.h"
#include "sim/ndis.h"
#include "sim/ndis/ndis_world.h"
#include "sim/ex/system_worker.h"
#include "sim/verifier.h"

namespace sim {

struct DriverState {
    // The driver's code, when it came from an image: first, so it is unmapped last.
    std::shared_ptr<DriverImage> image;
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string serviceName;
    std::u16string registryPath;
    std::vector<ProtocolRecord *> protocols;
    std::mutex lock;
    std::condition_variable changed;
    bool stopping = false;
    bool unloaded = false;
};

namespace {

std::mutex g_lock;
std::vector<std::shared_ptr<DriverState>> g_drivers;

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

UNICODE_STRING Counted(std::u16string &text)
{
    UNICODE_STRING counted;
    counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
    counted.Buffer = reinterpret_cast<PWSTR>(text.data());
    return counted;
}

std::set<ProtocolRecord *> RegisteredProtocols()
{
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    std::set<ProtocolRecord *> registered;
    for (const auto &protocol : world.protocols) {
        if (protocol->registered) {
            registered.insert(protocol.get());
        }
    }
    return registered;
}

// NDIS holds nothing for a work item it was given: once the driver has
// unloaded, its routine would run in code that is gone.
void CheckNoNdisWork(const char *when)
{
    if (PendingSystemWork(WorkKind::Ndis) != 0) {
        Violation("driver.routine-after-unload", "DriverUnload",
                  std::string("an NDIS work item is queued or running ") + when);
    }
}

void RunUnload(const std::shared_ptr<DriverState> &state)
{
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (state->unloaded || !state->stopping) {
            return;
        }
    }
    if (state->object.DriverUnload != nullptr) {
        CallDriver("DriverUnload", state->object.DriverUnload, &state->object);
    }
    CheckNoNdisWork("when DriverUnload returns");
    if (state->object.DeviceObject != nullptr) {
        Violation("driver.unload-left-device", "DriverUnload", "the driver's devices outlive its unload");
    }
    std::set<ProtocolRecord *> registered = RegisteredProtocols();
    for (ProtocolRecord *protocol : state->protocols) {
        if (registered.count(protocol) != 0) {
            Violation("driver.unload-left-protocol", "DriverUnload",
                      "protocol " + Narrow(protocol->name) + " is still registered");
        }
    }
    std::lock_guard<std::mutex> guard(state->lock);
    state->unloaded = true;
    state->changed.notify_all();
}

// Step 1: every open of the driver's protocols is unbound once, and the stop
// waits for each unbind to complete (one the adapter's removal began
// included) and for every open of them to be closed, a close that ends a
// failed bind included: its completion handler is the driver's code.
bool UnbindProtocols(const std::shared_ptr<DriverState> &state, std::chrono::milliseconds limit)
{
    auto ours = [&state](const OpenRecord &open) {
        return std::find(state->protocols.begin(), state->protocols.end(), open.protocol) != state->protocols.end();
    };
    std::vector<OpenRecord *> opens;
    NdisWorld &world = World();
    {
        std::lock_guard<std::mutex> guard(world.lock);
        for (const auto &open : world.opens) {
            if (ours(*open) && (open->state == OpenState::Opening || open->state == OpenState::Open)) {
                opens.push_back(open.get());
            }
        }
    }
    std::vector<HandlerCall *> unbinds = UnbindOpens(opens);
    // An unbind the adapter's removal began is waited for, not made again.
    for (HandlerCall *call : UnbindsUnderWay([&state](const ProtocolRecord *protocol) {
             return std::find(state->protocols.begin(), state->protocols.end(), protocol) != state->protocols.end();
         })) {
        unbinds.push_back(call);
    }
    return WaitUnbinds(unbinds, limit) && WaitOpensClosed(ours, limit);
}

}  // namespace

NTSTATUS Driver::Load(PDRIVER_INITIALIZE entry, const std::u16string &serviceName, Driver *driver,
                      std::shared_ptr<DriverImage> image)
{
    auto state = std::make_shared<DriverState>();
    state->image = image;
    state->serviceName = serviceName;
    state->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
    state->object.Type = 4;
    state->object.Size = sizeof(DRIVER_OBJECT);
    state->object.DriverExtension = &state->extension;
    state->extension.DriverObject = &state->object;
    state->extension.ServiceKeyName = Counted(state->serviceName);
    for (PDRIVER_DISPATCH &routine : state->object.MajorFunction) {
        routine = DefaultDispatch;
    }
    std::set<ProtocolRecord *> before = RegisteredProtocols();
    UNICODE_STRING registryPath = Counted(state->registryPath);
    NTSTATUS status = CallDriver("DriverEntry", entry, &state->object, &registryPath);
    if (image != nullptr) {
        DiscardSections(*image);
    }
    for (ProtocolRecord *protocol : RegisteredProtocols()) {
        if (before.count(protocol) == 0) {
            state->protocols.push_back(protocol);
        }
    }
    if (!NT_SUCCESS(status)) {
        if (state->object.DeviceObject != nullptr) {
            Violation("driver.load-left-device", "DriverEntry", "a failed load left a device behind");
        }
        return status;
    }
    FinishDeviceInitialization(&state->object);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_drivers.push_back(state);
    }
    std::weak_ptr<DriverState> weak = state;
    SetLastFileClosedAction([weak](PDRIVER_OBJECT closedDriver) {
        std::shared_ptr<DriverState> owner = weak.lock();
        if (owner && closedDriver == &owner->object) {
            RunUnload(owner);
        }
    });
    driver->state_ = state;
    return status;
}

PDRIVER_OBJECT Driver::Object() const
{
    return &state_->object;
}

bool Driver::Stop(std::chrono::milliseconds limit) const
{
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->stopping) {
            return state_->unloaded;
        }
    }
    if (!UnbindProtocols(state_, limit)) {
        Violation("driver.unbind-timeout", "Stop", "an unbind did not complete in time");
    }
    for (ProtocolRecord *protocol : state_->protocols) {
        NotifyProtocolUnload(protocol);
    }
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->stopping = true;
    }
    if (OpenFileCount(&state_->object) == 0) {
        RunUnload(state_);
    }
    if (!Unloaded()) {
        return false;
    }
    // The image stays until the last I/O work item queued on one of the
    // driver's devices has returned.
    if (!WaitDeletedDevicesReleased(&state_->object, limit)) {
        Violation("driver.unload-timeout", "Stop", "an I/O work item of the driver did not return in time");
        return false;
    }
    CheckNoNdisWork("when the driver's last I/O work item has returned");
    return true;
}

bool Driver::Unloaded() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->unloaded;
}

bool Driver::WaitUnloaded(std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> guard(state_->lock);
    return schedule::WaitFor(state_->changed, guard, limit, [this] { return state_->unloaded; });
}

void ResetDrivers()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_drivers.clear();
}

}  // namespace sim
