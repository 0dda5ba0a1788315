// Requests and file objects as the I/O manager builds them, dispatch to a
// driver with the checks the verifier makes when the dispatch routine
// returns, and the world's record of both.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "platform/ke.h"
#include "sim/io/driver_call.h"
#include "sim/io.h"
#include "sim/direct_io.h"
#include "sim/io/io_internal.h"
#include "sim/irql.h"
#include "sim/ke/ke_internal.h"
#include "sim/schedule.h"
#include "sim/verifier.h"

namespace sim {
namespace {

constexpr CSHORT kIoTypeFile = 5;
constexpr CSHORT kIoTypeIrp = 6;

struct IoWorld {
    std::mutex lock;
    std::unordered_map<PIRP, std::shared_ptr<RequestState>> requests;
    std::vector<std::shared_ptr<FileState>> files;
    size_t completed = 0;
};

IoWorld &World()
{
    static IoWorld world;
    return world;
}

std::shared_ptr<RequestState> NewRequest(UCHAR majorFunction, PDEVICE_OBJECT device,
                                         PFILE_OBJECT file)
{
    auto state = std::make_shared<RequestState>();
    state->majorFunction = majorFunction;
    IRP &irp = state->block.irp;
    IO_STACK_LOCATION &stack = state->block.stack;
    irp.Type = kIoTypeIrp;
    irp.Size = sizeof(RequestState::Block);
    irp.StackCount = 1;
    irp.CurrentLocation = 1;
    irp.RequestorMode = UserMode;
    irp.Tail.Overlay.CurrentStackLocation = &stack;
    irp.Tail.Overlay.OriginalFileObject = file;
    stack.MajorFunction = majorFunction;
    stack.DeviceObject = device;
    stack.FileObject = file;
    IoWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    world.requests[&irp] = state;
    return state;
}

// The I/O manager's routine behind every dispatch entry a driver leaves empty.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void CheckDispatchReturn(RequestState &state, NTSTATUS status, const char *caller)
{
    std::string what = MajorFunctionName(state.majorFunction);
    if (status == STATUS_PENDING) {
        bool marked = state.completed
                          ? state.markedPending
                          : (state.block.stack.Control & SL_PENDING_RETURNED) != 0;
        if (!marked) {
            Violation("irp.pending-not-marked", caller,
                      what + " returned STATUS_PENDING without IoMarkIrpPending");
        }
        return;
    }
    if (!state.completed) {
        Violation("irp.not-completed", caller,
                  what + " returned " + StatusText(status) + " without completing the request");
        return;
    }
    if (state.markedPending) {
        Violation("irp.marked-not-pending", caller,
                  what + " marked the request pending and returned " + StatusText(status));
    }
    if (status != state.finalStatus.Status) {
        std::string detail = what + " returned " + StatusText(status) +
                             " but completed the request with " +
                             StatusText(state.finalStatus.Status);
        ULONG poison = 0x01010101u * kIrpPoisonByte;
        if (static_cast<ULONG>(status) == poison) {
            detail += " (the returned status was read from the completed request)";
        }
        Violation("irp.status-mismatch", caller, detail);
    }
}

}  // namespace

std::shared_ptr<RequestState> FindRequest(PIRP irp)
{
    IoWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    auto it = world.requests.find(irp);
    return it == world.requests.end() ? nullptr : it->second;
}

void PoisonIfDone(RequestState &state)
{
    if (state.finished && state.cancellers == 0 && !state.poisoned) {
        std::memset(static_cast<void *>(&state.block), kIrpPoisonByte, sizeof state.block);
        state.poisoned = true;
    }
}

void CheckUntouched(RequestState &state, const char *caller)
{
    if (!state.poisoned || state.touchReported) {
        return;
    }
    const auto *bytes = reinterpret_cast<const uint8_t *>(&state.block);
    for (size_t i = 0; i < sizeof state.block; ++i) {
        if (bytes[i] != kIrpPoisonByte) {
            state.touchReported = true;
            char detail[160];
            std::snprintf(detail, sizeof detail,
                          "%s request %p was written after its completion (byte %zu)",
                          MajorFunctionName(state.majorFunction).c_str(),
                          static_cast<void *>(&state.block.irp), i);
            Violation("irp.used-after-completion", caller, detail);
            return;
        }
    }
}

void CountCompletion()
{
    IoWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    ++world.completed;
}

std::string MajorFunctionName(UCHAR majorFunction)
{
    switch (majorFunction) {
    case IRP_MJ_CREATE:
        return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE:
        return "IRP_MJ_CLOSE";
    case IRP_MJ_READ:
        return "IRP_MJ_READ";
    case IRP_MJ_WRITE:
        return "IRP_MJ_WRITE";
    case IRP_MJ_DEVICE_CONTROL:
        return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP:
        return "IRP_MJ_CLEANUP";
    default:
        return "IRP_MJ_" + std::to_string(majorFunction);
    }
}

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

void ForgetFinishedRequests()
{
    // Freed only after their buffers are forgotten: a new request may be
    // built at a freed IRP's address.
    std::vector<std::shared_ptr<RequestState>> forgotten;
    std::vector<std::shared_ptr<FileState>> goneFiles;
    std::vector<PIRP> irps;
    {
        IoWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        for (auto it = world.requests.begin(); it != world.requests.end();) {
            bool finished;
            {
                std::lock_guard<std::mutex> stateGuard(it->second->lock);
                finished = it->second->finished && it->second->cancellers == 0;
            }
            if (finished && it->second.use_count() == 1) {
                irps.push_back(it->first);
                forgotten.push_back(std::move(it->second));
                it = world.requests.erase(it);
            } else {
                ++it;
            }
        }
        // A file object goes once no handle holds it and no request the
        // I/O manager still knows names it, as the object manager frees it
        // after its last reference.
        std::unordered_set<PFILE_OBJECT> named;
        for (const auto &[irp, request] : world.requests) {
            named.insert(request->block.stack.FileObject);
        }
        for (auto it = world.files.begin(); it != world.files.end();) {
            if (it->use_count() == 1 && named.count(&(*it)->object) == 0) {
                goneFiles.push_back(std::move(*it));
                it = world.files.erase(it);
            } else {
                ++it;
            }
        }
    }
    ForgetCallerBuffers(irps);
}

void ResetIo()
{
    IoWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    world.requests.clear();
    world.files.clear();
    world.completed = 0;
}

void AppendIoLeaks(std::vector<std::string> &leaks)
{
    IoWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    for (const auto &[irp, state] : world.requests) {
        std::lock_guard<std::mutex> stateGuard(state->lock);
        if (!state->completed) {
            char text[160];
            std::snprintf(text, sizeof text, "%s request %p %s and never completed",
                          MajorFunctionName(state->majorFunction).c_str(),
                          static_cast<void *>(irp),
                          state->dispatched ? "dispatched" : "built");
            leaks.push_back(text);
        }
    }
}

File::File(PDEVICE_OBJECT device) : state_(std::make_shared<FileState>())
{
    state_->object.Type = kIoTypeFile;
    state_->object.Size = sizeof(FILE_OBJECT);
    state_->object.DeviceObject = device;
    IoWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    world.files.push_back(state_);
}

PFILE_OBJECT File::Object() const
{
    return &state_->object;
}

PDEVICE_OBJECT File::Device() const
{
    return state_->object.DeviceObject;
}

Request::Request(UCHAR majorFunction, const File &file)
    : state_(NewRequest(majorFunction, file.Device(), file.Object()))
{
}

Request::Request(UCHAR majorFunction, PDEVICE_OBJECT device, PFILE_OBJECT file)
    : state_(NewRequest(majorFunction, device, file))
{
}

PIRP Request::Irp() const
{
    return &state_->block.irp;
}

PIO_STACK_LOCATION Request::Stack() const
{
    return &state_->block.stack;
}

void Request::OnCompletion(std::function<void(PIRP)> step) const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->completionSteps.push_back(std::move(step));
}

NTSTATUS Request::Dispatch(PDRIVER_DISPATCH routine) const
{
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->dispatched || state_->refused) {
            throw std::logic_error("a request is dispatched once, and never once refused");
        }
        state_->dispatched = true;
        device = state_->block.stack.DeviceObject;
    }
    if (routine == nullptr) {
        routine = InvalidDeviceRequest;
    }
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCallDriver");
    if (HeldSpinLockCount() != 0) {
        Violation("spinlock.held-at-call", "IoCallDriver", "a request is sent while holding a spin lock");
    }
    KIRQL irqlBefore = KeGetCurrentIrql();
    NTSTATUS status = CallDriver(MajorFunctionName(state_->majorFunction).c_str(), routine, device, &state_->block.irp);
    bool broken = false;
    if (KeGetCurrentIrql() != irqlBefore) {
        Violation("dispatch.irql-changed", "IoCallDriver",
                  MajorFunctionName(state_->majorFunction) + " returned at IRQL " +
                      std::to_string(KeGetCurrentIrql()));
        broken = true;
    }
    if (HeldSpinLockCount() != 0) {
        Violation("dispatch.spinlock-held", "IoCallDriver",
                  MajorFunctionName(state_->majorFunction) + " returned holding a spin lock");
        broken = true;
    }
    if (broken) {
        ReleaseHeldSpinLocks(irqlBefore);
    }
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->dispatchStatus = status;
    CheckDispatchReturn(*state_, status, "IoCallDriver");
    CheckUntouched(*state_, "IoCallDriver");
    return status;
}

NTSTATUS Request::Dispatch() const
{
    PDEVICE_OBJECT device = state_->block.stack.DeviceObject;
    if (device == nullptr || device->DriverObject == nullptr) {
        throw std::logic_error("dispatch through a table needs a device of a driver object");
    }
    return Dispatch(device->DriverObject->MajorFunction[state_->majorFunction]);
}

bool Request::Dispatched() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->dispatched;
}

NTSTATUS Request::DispatchStatus() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->dispatchStatus;
}

bool Request::Completed() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->finished;
}

bool Request::WaitForCompletion(std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> guard(state_->lock);
    bool finished = schedule::WaitFor(state_->finishedChanged, guard, limit, [this] { return state_->finished; });
    CheckUntouched(*state_, "IofCompleteRequest");
    return finished;
}

IO_STATUS_BLOCK Request::FinalStatus() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    CheckUntouched(*state_, "IofCompleteRequest");
    return state_->finished ? state_->finalStatus : IO_STATUS_BLOCK{};
}

CCHAR Request::PriorityBoost() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->priorityBoost;
}

bool Request::CompletedMarkedPending() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->markedPending;
}

BOOLEAN Request::Cancel() const
{
    return CancelRequest(state_, true);
}

void ForgetRequest(PIRP irp)
{
    ForgetCallerBuffer(irp);
    IoWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    world.requests.erase(irp);
}

void Request::Release() const
{
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->released = true;
        if (!state_->finished) {
            return;
        }
    }
    ForgetRequest(Irp());
}

Request SendRequest(UCHAR majorFunction, const File &file, PDRIVER_DISPATCH routine)
{
    Request request(majorFunction, file);
    request.Dispatch(routine);
    return request;
}

size_t RequestCount()
{
    IoWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    return world.requests.size();
}

size_t CompletedRequestCount()
{
    IoWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    return world.completed;
}

}  // namespace sim
