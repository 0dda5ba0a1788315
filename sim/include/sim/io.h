// The I/O manager's side of requests, as tests drive it: file objects for
// open handles, requests (IRPs) built for a file and sent to a dispatch
// routine from any thread, waiting for their completion, and cancelling them.
//
// A request is one IRP with one stack location. Build it, fill in what its
// kind needs (Stack()->Parameters, Irp()->AssociatedIrp.SystemBuffer,
// Irp()->MdlAddress, and OnCompletion steps for what the I/O manager does
// when such a request completes), then dispatch it once. Every request and
// file stays alive until the end of the test, so a completion after the fact
// is reported as a second completion rather than as a use of freed memory.
//
// The verifier's request rules, checked in IofCompleteRequest and after the
// dispatch routine returns:
//   irp.double-completion       completed more than once
//   irp.used-after-completion   the driver used a completed request (its
//                               memory is poisoned at completion)
//   irp.completed-under-spinlock  completed while holding a spin lock
//   irp.cancel-routine-set      completed with a cancel routine still armed
//   irp.completed-pending       completed with IoStatus.Status STATUS_PENDING
//   irp.information-too-large   a buffered control request reports more
//                               Information than its output length
//   irp.pending-not-marked      STATUS_PENDING returned, request not marked pending
//   irp.marked-not-pending      marked pending, another status returned
//   irp.not-completed           a status other than STATUS_PENDING returned
//                               for a request that was not completed
//   irp.status-mismatch         the returned status differs from IoStatus.Status
//   irp.unknown                 a request the I/O manager never built
//   cancel.lock-not-released    a cancel routine returned holding the cancel spin lock
//   dispatch.irql-changed, dispatch.spinlock-held   a dispatch routine
//                               returned above PASSIVE_LEVEL or holding a lock
//
// Hook points (sim/hooks.h) inside the I/O manager:
//   "IoSetCancelRoutine.set"     right after a routine was armed
//   "IoSetCancelRoutine.clear"   right before a routine is exchanged with NULL
//   "IoCancelIrp.cancel-set"     Cancel is set, the cancel spin lock not yet taken
//   "IoCancelIrp.routine-taken"  the routine was taken, not yet called
//                                (the cancel spin lock is held)
//   "IoAcquireCancelSpinLock"    before the cancel spin lock is taken
//   "IofCompleteRequest"         on entry, before anything is checked
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/io.h"

namespace sim {

// The limit of every wait for something the driver is to finish on its own.
constexpr std::chrono::milliseconds kWaitLimit{5000};

struct FileState;
struct RequestState;

// One file object: what the I/O manager creates for an open handle on a
// device. FsContext and FsContext2 start NULL. Copies name the same object.
class File {
public:
    explicit File(PDEVICE_OBJECT device);

    PFILE_OBJECT Object() const;
    PDEVICE_OBJECT Device() const;

private:
    std::shared_ptr<FileState> state_;
};

// One request. Copies name the same request.
class Request {
public:
    // A request of `majorFunction` on the file's device: one stack location
    // with MajorFunction, DeviceObject and FileObject set, everything else 0;
    // RequestorMode UserMode.
    Request(UCHAR majorFunction, const File &file);
    Request(UCHAR majorFunction, PDEVICE_OBJECT device, PFILE_OBJECT file);

    PIRP Irp() const;
    PIO_STACK_LOCATION Stack() const;

    // Runs inside IofCompleteRequest, after the driver's part and before
    // anyone waiting sees the completion, with the request intact: what the
    // I/O manager does when a request of this kind completes.
    void OnCompletion(std::function<void(PIRP)> step) const;

    // Calls `routine` with the stack location's device and the request in
    // the calling thread at PASSIVE_LEVEL, as IoCallDriver does, and checks
    // the request rules on its return. A request is dispatched once.
    NTSTATUS Dispatch(PDRIVER_DISPATCH routine) const;
    // The same through the device's driver object's dispatch table.
    NTSTATUS Dispatch() const;

    // The I/O manager fails the request before any driver sees it, as a
    // system service fails a call it refuses before it builds an IRP: it is
    // never dispatched, it finishes at once with IoStatus {status, 0} and its
    // completion steps run, so that its caller learns the status as from any
    // other request. A request is refused once, and never once dispatched.
    void Refuse(NTSTATUS status) const;

    // Whether a driver was given the request (a refused one never is).
    bool Dispatched() const;
    // What the dispatch routine returned, or the status a refusal gave.
    NTSTATUS DispatchStatus() const;

    bool Completed() const;
    // True once the request has completed, false when `limit` ran out first.
    bool WaitForCompletion(std::chrono::milliseconds limit = kWaitLimit) const;
    // The IoStatus the request was completed with (zero while not completed).
    IO_STATUS_BLOCK FinalStatus() const;
    CCHAR PriorityBoost() const;
    // Whether SL_PENDING_RETURNED was set when it completed.
    bool CompletedMarkedPending() const;

    // The I/O manager cancels the request, as for a thread that cancels its
    // I/O: IoCancelIrp unless the request has completed already. Returns what
    // IoCancelIrp returned; FALSE when there was nothing to cancel.
    BOOLEAN Cancel() const;

    // The caller is done with a completed request: the I/O manager frees it,
    // as Windows frees an IRP, so that a long-lived client does not keep
    // every request it ever made; a request not yet completed is freed once
    // it has. It still counts in CompletedRequestCount.
    void Release() const;

private:
    std::shared_ptr<RequestState> state_;
};

// Builds a request of `majorFunction` for the file and dispatches it to `routine`.
Request SendRequest(UCHAR majorFunction, const File &file, PDRIVER_DISPATCH routine);

// Requests built since the world was last reset, and how many of them completed.
size_t RequestCount();
size_t CompletedRequestCount();

// Forgets every request that has finished and that no Request names any
// more, with its caller's buffer, and every file object no File and no
// request left names, so that a long run of requests and handles keeps its
// memory bounded. A completion of a forgotten request is reported as
// irp.unknown rather than as a second completion.
void ForgetFinishedRequests();

}  // namespace sim
