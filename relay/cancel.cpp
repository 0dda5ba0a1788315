// The cancel routines: one procedure over the queue each routine stands for.
#include "relay/queue.h"

// The platform calls a routine it took from a queued request, holding the
// cancel spin lock. The request is still on its queue, where the binding in
// its context slot says.
static void RelayCancelQueuedRequest(PIRP Irp, LONG QueueOffset)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    AdapterBinding *binding =
        (AdapterBinding *)InterlockedExchangePointer(&Irp->Tail.Overlay.DriverContext[0], NULL);
    IrpQueue *queue = (IrpQueue *)((PUCHAR)binding + QueueOffset);
    RelayAcquireQueueLock(queue);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    RelayReleaseQueueLock(queue);
    // Outside the lock: this may be the binding's last reference.
    RelayDereferenceBinding(binding);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

VOID NTAPI RelayCancelConnectWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RelayCancelQueuedRequest(Irp, FIELD_OFFSET(AdapterBinding, ConnectWaitQueue));
}

VOID NTAPI RelayCancelDisconnectWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RelayCancelQueuedRequest(Irp, FIELD_OFFSET(AdapterBinding, DisconnectWaitQueue));
}

VOID NTAPI RelayCancelMediaSpecificWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RelayCancelQueuedRequest(Irp, FIELD_OFFSET(AdapterBinding, MediaSpecificWaitQueue));
}

VOID NTAPI RelayCancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    RelayCancelQueuedRequest(Irp, FIELD_OFFSET(AdapterBinding, ReadQueue));
}
