// Entering a queue and being claimed from it.
#include "relay/queue.h"

void RelayAcquireQueueLock(IrpQueue *Queue)
{
    KIRQL oldIrql = KfAcquireSpinLock(&Queue->Lock);
    Queue->OldIrql = oldIrql;
}

void RelayReleaseQueueLock(IrpQueue *Queue)
{
    KfReleaseSpinLock(&Queue->Lock, Queue->OldIrql);
}

NTSTATUS RelayEnqueueRequest(IrpQueue *Queue, AdapterBinding *Binding, PIRP Irp,
                             PDRIVER_CANCEL CancelRoutine)
{
    RelayAcquireQueueLock(Queue);
    // The dispatch routine tested the flags without this lock, so an unbind
    // may have flushed the queue since: the request then ends as the flush
    // would have ended it. The flush takes this lock after the unbind set its
    // flag, so a request queued before it is flushed with the rest.
    if ((InterlockedCompareExchange(&Binding->Flags, 0, 0) & BINDING_UNBINDING) != 0) {
        RelayReleaseQueueLock(Queue);
        return STATUS_DEVICE_REMOVED;
    }
    // The binding is in the slot before the routine is armed: a cancel routine
    // reads it from there before it can take this lock.
    InterlockedExchangePointer(&Irp->Tail.Overlay.DriverContext[0], Binding);
    RelayReferenceBinding(Binding);
    IoSetCancelRoutine(Irp, CancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        // Cancelled before it got here, and the platform will not call the
        // routine: the caller completes the request.
        InterlockedExchangePointer(&Irp->Tail.Overlay.DriverContext[0], NULL);
        RelayDereferenceBinding(Binding);
        RelayReleaseQueueLock(Queue);
        return STATUS_CANCELLED;
    }
    // Either not cancelled, or the platform already took the routine: then the
    // routine finds the request on the queue as soon as the lock is released.
    IoMarkIrpPending(Irp);
    InsertTailList(&Queue->PendingList, &Irp->Tail.Overlay.ListEntry);
    RelayReleaseQueueLock(Queue);
    return STATUS_PENDING;
}

void RelayCollectRequests(IrpQueue *Queue, AdapterBinding *Binding, PFILE_OBJECT FileObject,
                          PLIST_ENTRY Collected)
{
    RelayAcquireQueueLock(Queue);
    PLIST_ENTRY entry = Queue->PendingList.Flink;
    while (entry != &Queue->PendingList) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if ((FileObject == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == FileObject) &&
            IoSetCancelRoutine(irp, NULL) != NULL) {
            InterlockedExchangePointer(&irp->Tail.Overlay.DriverContext[0], NULL);
            RemoveEntryList(entry);
            // Never the last reference: the caller holds one of its own.
            RelayDereferenceBinding(Binding);
            InsertTailList(Collected, entry);
        }
        entry = next;
    }
    RelayReleaseQueueLock(Queue);
}

void RelayCompleteCollectedRequests(PLIST_ENTRY Collected, NTSTATUS Status)
{
    while (!IsListEmpty(Collected)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(Collected), IRP, Tail.Overlay.ListEntry);
        irp->IoStatus.Status = Status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}
