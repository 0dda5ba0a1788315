#include "bindings/binding.h"
#include "control/device_control.h"
#include "relay/queue.h"

// A wait tests neither power nor the output length, and takes no open
// reference: it keeps only the binding record alive, through its queue entry.
NTSTATUS RelayIoctlWaitStatus(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    AdapterBinding *binding = (AdapterBinding *)InterlockedCompareExchangePointer(
        (PVOID volatile *)&stack->FileObject->FsContext, NULL, NULL);
    if (binding == NULL) {
        return STATUS_INVALID_HANDLE;
    }
    if (InterlockedCompareExchange(&binding->Flags, 0, 0) != 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(NDIS_STATUS)) {
        return STATUS_INVALID_PARAMETER;
    }

    NDIS_STATUS awaited;
    RtlCopyMemory(&awaited, Irp->AssociatedIrp.SystemBuffer, sizeof awaited);
    switch (awaited) {
    case NDIS_STATUS_MEDIA_CONNECT:
        return RelayEnqueueRequest(&binding->ConnectWaitQueue, binding, Irp, RelayCancelConnectWait);
    case NDIS_STATUS_MEDIA_DISCONNECT:
        return RelayEnqueueRequest(&binding->DisconnectWaitQueue, binding, Irp,
                                   RelayCancelDisconnectWait);
    case NDIS_STATUS_MEDIA_SPECIFIC_INDICATION:
        return RelayEnqueueRequest(&binding->MediaSpecificWaitQueue, binding, Irp,
                                   RelayCancelMediaSpecificWait);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
