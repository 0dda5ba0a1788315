#include "bindings/binding.h"
#include "control/status_indication.h"
#include "relay/queue.h"

// Completes every wait queued on the indication's queue, each with its own
// copy of the status buffer cut to its output length. The waiters are
// claimed under the queue's lock and answered after it is released.
static VOID RelayCompleteWaiters(AdapterBinding *Binding, IrpQueue *Queue, PVOID StatusBuffer,
                                 UINT StatusBufferSize)
{
    LIST_ENTRY waiters;
    InitializeListHead(&waiters);
    RelayCollectRequests(Queue, Binding, NULL, &waiters);

    while (!IsListEmpty(&waiters)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&waiters), IRP, Tail.Overlay.ListEntry);
        ULONG outputLength =
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
        ULONG copied = outputLength < StatusBufferSize ? outputLength : StatusBufferSize;
        if (copied != 0) {
            RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, StatusBuffer, copied);
        }
        irp->IoStatus.Status = copied == StatusBufferSize ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
        irp->IoStatus.Information = copied;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// The reset flag is a flag, not a counter: two starts and one end leave it
// clear. Nothing else looks at the flags here; a media indication during a
// reset still answers its waiters.
VOID NTAPI RelayStatus(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS GeneralStatus,
                       PVOID StatusBuffer, UINT StatusBufferSize)
{
    AdapterBinding *binding = (AdapterBinding *)ProtocolBindingContext;

    switch (GeneralStatus) {
    case NDIS_STATUS_RESET_START:
        InterlockedOr(&binding->Flags, BINDING_RESET_IN_PROGRESS);
        break;
    case NDIS_STATUS_RESET_END:
        InterlockedAnd(&binding->Flags, ~BINDING_RESET_IN_PROGRESS);
        break;
    case NDIS_STATUS_MEDIA_CONNECT:
        RelayCompleteWaiters(binding, &binding->ConnectWaitQueue, StatusBuffer, StatusBufferSize);
        break;
    case NDIS_STATUS_MEDIA_DISCONNECT:
        RelayCompleteWaiters(binding, &binding->DisconnectWaitQueue, StatusBuffer, StatusBufferSize);
        break;
    case NDIS_STATUS_MEDIA_SPECIFIC_INDICATION:
        RelayCompleteWaiters(binding, &binding->MediaSpecificWaitQueue, StatusBuffer, StatusBufferSize);
        break;
    default:
        break;
    }
}

// Nothing follows an indication that needs doing.
VOID NTAPI RelayStatusComplete(NDIS_HANDLE ProtocolBindingContext)
{
}
