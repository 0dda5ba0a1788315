// IofCompleteRequest with the verifier's request rules: the driver hands the
// request back exactly once, outside every spin lock, with its cancel routine
// disarmed and a final status; after that the request is the I/O manager's.
#include <atomic>
#include <stdexcept>

#include "platform/io.h"
#include "sim/counters.h"
#include "sim/hooks.h"
#include "sim/io.h"
#include "sim/io/io_internal.h"
#include "sim/irql.h"
#include "sim/verifier.h"

namespace sim {
namespace {

constexpr const char *kCaller = "IofCompleteRequest";

bool IsBufferedControl(const IO_STACK_LOCATION &stack)
{
    return (stack.MajorFunction == IRP_MJ_DEVICE_CONTROL ||
            stack.MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) &&
           (stack.Parameters.DeviceIoControl.IoControlCode & 3) == METHOD_BUFFERED;
}

// The driver's part is over: what it left in the request must be in order.
void CheckHandedBack(RequestState &state)
{
    IRP &irp = state.block.irp;
    const IO_STACK_LOCATION &stack = state.block.stack;
    std::string what = MajorFunctionName(state.majorFunction);
    if (HeldSpinLockCount() != 0) {
        Violation("irp.completed-under-spinlock", kCaller,
                  what + " completed while holding " + std::to_string(HeldSpinLockCount()) +
                      " spin lock(s)");
    }
    PDRIVER_CANCEL routine = std::atomic_ref<PDRIVER_CANCEL>(irp.CancelRoutine).load();
    if (routine != nullptr) {
        Violation("irp.cancel-routine-set", kCaller, what + " completed with its cancel routine armed");
    }
    if (irp.IoStatus.Status == STATUS_PENDING) {
        Violation("irp.completed-pending", kCaller, what + " completed with STATUS_PENDING");
    }
    if (IsBufferedControl(stack) &&
        irp.IoStatus.Information > stack.Parameters.DeviceIoControl.OutputBufferLength) {
        Violation("irp.information-too-large", kCaller,
                  what + " reports " + std::to_string(irp.IoStatus.Information) +
                      " bytes, its output buffer holds " +
                      std::to_string(stack.Parameters.DeviceIoControl.OutputBufferLength));
    }
}

// The I/O manager's part once the driver's is over: what a request of this
// kind does at completion, then waiters go and the memory is poisoned.
void Finish(const std::shared_ptr<RequestState> &state, PIRP irp, std::vector<std::function<void(PIRP)>> steps)
{
    for (const auto &step : steps) {
        step(irp);
    }
    CountCompletion();
    bool released;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->finished = true;
        PoisonIfDone(*state);
        state->finishedChanged.notify_all();
        released = state->released;
    }
    if (released) {
        ForgetRequest(irp);
    }
}

}  // namespace

void Request::Refuse(NTSTATUS status) const
{
    std::vector<std::function<void(PIRP)>> steps;
    PIRP irp = Irp();
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->dispatched || state_->refused) {
            throw std::logic_error("a request is refused once, and never once dispatched");
        }
        state_->refused = true;
        state_->dispatchStatus = status;
        state_->completed = true;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        state_->finalStatus = irp->IoStatus;
        steps.swap(state_->completionSteps);
    }
    Finish(state_, irp, std::move(steps));
}

}  // namespace sim

extern "C" {

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    sim::HookPoint("IofCompleteRequest");
    std::shared_ptr<sim::RequestState> state = sim::FindRequest(Irp);
    if (state == nullptr) {
        sim::Violation("irp.unknown", sim::kCaller, "the request was not built by the I/O manager");
        return;
    }
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, sim::kCaller);
    std::vector<std::function<void(PIRP)>> steps;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (state->completed) {
            sim::Violation("irp.double-completion", sim::kCaller,
                           sim::MajorFunctionName(state->majorFunction) +
                               " request completed a second time");
            sim::CheckUntouched(*state, sim::kCaller);
            return;
        }
        state->completed = true;
        sim::CheckHandedBack(*state);
        state->finalStatus = Irp->IoStatus;
        state->priorityBoost = PriorityBoost;
        if (state->majorFunction == IRP_MJ_READ && Irp->MdlAddress != nullptr) {
            sim::CountReadCompleted(Irp->IoStatus.Information);
        }
        state->markedPending = (state->block.stack.Control & SL_PENDING_RETURNED) != 0;
        Irp->PendingReturned = state->markedPending ? TRUE : FALSE;
        steps.swap(state->completionSteps);
    }
    sim::Finish(state, Irp, std::move(steps));
}

}  // extern "C"
