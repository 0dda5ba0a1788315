// Cancellation as the I/O manager has it: IoCancelIrp sets the request's
// Cancel flag, takes the cancel spin lock, exchanges the cancel routine with
// NULL and calls what it got with the lock held; the routine releases it.
#include <atomic>

#include "platform/io.h"
#include "sim/io/driver_call.h"
#include "sim/hooks.h"
#include "sim/io/io_internal.h"
#include "sim/irql.h"
#include "sim/ke/ke_internal.h"
#include "sim/verifier.h"

namespace sim {
namespace {

KSPIN_LOCK g_cancelSpinLock = 0;

PDRIVER_CANCEL ExchangeCancelRoutine(PIRP irp, PDRIVER_CANCEL routine)
{
    return std::atomic_ref<PDRIVER_CANCEL>(irp->CancelRoutine).exchange(routine);
}

}  // namespace

BOOLEAN CancelRequest(const std::shared_ptr<RequestState> &state, bool byIoManager)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (state->completed) {
            if (!byIoManager) {
                Violation("irp.used-after-completion", "IoCancelIrp",
                          MajorFunctionName(state->majorFunction) + " request cancelled after its completion");
            }
            return FALSE;
        }
        ++state->cancellers;
    }
    PIRP irp = &state->block.irp;
    PDEVICE_OBJECT device = state->block.stack.DeviceObject;
    irp->Cancel = TRUE;
    HookPoint("IoCancelIrp.cancel-set");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PDRIVER_CANCEL routine = ExchangeCancelRoutine(irp, nullptr);
    BOOLEAN cancelled = FALSE;
    if (routine != nullptr) {
        irp->CancelIrql = irql;
        HookPoint("IoCancelIrp.routine-taken");
        CallDriver("CancelRoutine", routine, device, irp);
        if (HoldsSpinLock(&g_cancelSpinLock)) {
            Violation("cancel.lock-not-released", "IoCancelIrp",
                      "the cancel routine returned holding the cancel spin lock");
            ReleaseSpinLockAs(&g_cancelSpinLock, irql, "IoCancelIrp");
        }
        cancelled = TRUE;
    } else {
        IoReleaseCancelSpinLock(irql);
    }
    std::lock_guard<std::mutex> guard(state->lock);
    --state->cancellers;
    PoisonIfDone(*state);
    return cancelled;
}

}  // namespace sim

extern "C" {

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    std::shared_ptr<sim::RequestState> state = sim::FindRequest(Irp);
    if (state == nullptr) {
        sim::Violation("irp.unknown", "IoCancelIrp", "the request was not built by the I/O manager");
        return FALSE;
    }
    return sim::CancelRequest(state, false);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    *Irql = sim::AcquireSpinLockAs(&sim::g_cancelSpinLock, "IoAcquireCancelSpinLock");
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    sim::ReleaseSpinLockAs(&sim::g_cancelSpinLock, Irql, "IoReleaseCancelSpinLock");
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    std::shared_ptr<sim::RequestState> state = sim::FindRequest(Irp);
    if (state == nullptr) {
        sim::Violation("irp.unknown", "IoSetCancelRoutine", "the request was not built by the I/O manager");
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (state->completed) {
            sim::Violation("irp.used-after-completion", "IoSetCancelRoutine",
                           sim::MajorFunctionName(state->majorFunction) +
                               " request's cancel routine changed after its completion");
            return nullptr;
        }
    }
    if (CancelRoutine == nullptr) {
        sim::HookPoint("IoSetCancelRoutine.clear");
    }
    PDRIVER_CANCEL previous = sim::ExchangeCancelRoutine(Irp, CancelRoutine);
    if (CancelRoutine != nullptr) {
        sim::HookPoint("IoSetCancelRoutine.set");
    }
    return previous;
}

}  // extern "C"
