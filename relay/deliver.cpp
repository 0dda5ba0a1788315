// Delivery of one received frame to every read pending on its binding.
#include "relay/queue.h"
#include "relay/receive.h"

NDIS_STATUS RelayDeliverFrame(AdapterBinding *Binding, PNDIS_PACKET Packet)
{
    LIST_ENTRY reads;
    InitializeListHead(&reads);
    RelayCollectRequests(&Binding->ReadQueue, Binding, NULL, &reads);

    // Outside every lock: each read gets its own copy and is completed.
    while (!IsListEmpty(&reads)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&reads), IRP, Tail.Overlay.ListEntry);
        ULONG copied;
        NTSTATUS status = RelayCopyBuffersToMdl(irp->MdlAddress, Packet->Private.Head, &copied);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = copied;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return NDIS_STATUS_SUCCESS;
}

NTSTATUS RelayCopyBuffersToMdl(PMDL Destination, PNDIS_BUFFER Source, PULONG BytesCopied)
{
    *BytesCopied = 0;
    if (Destination == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG room = MmGetMdlByteCount(Destination);
    PUCHAR to = (PUCHAR)MmGetSystemAddressForMdlSafe(Destination, NormalPagePriority);
    if (to == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    for (PNDIS_BUFFER buffer = Source; buffer != NULL; buffer = buffer->Next) {
        if (room == 0) {
            return STATUS_BUFFER_OVERFLOW;
        }
        PVOID from;
        UINT length;
        NdisQueryBufferSafe(buffer, &from, &length, NormalPagePriority);
        if (from == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ULONG chunk = length < room ? length : room;
        RtlCopyMemory(to, from, chunk);
        to += chunk;
        room -= chunk;
        *BytesCopied += chunk;
    }
    return STATUS_SUCCESS;
}
