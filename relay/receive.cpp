// Frames indicated as header plus lookahead: assembled in a receive packet,
// the part beyond the lookahead fetched with a data transfer.
#include "bindings/lifecycle.h"
#include "platform/ndis_transfer.h"
#include "relay/receive.h"

// Almost every frame is refused here. The assembly of the few others lives
// in its own routine, so that a refusal costs the test and a return, and not
// the set-up of everything an assembly needs.
NDIS_STATUS NTAPI RelayReceive(NDIS_HANDLE ProtocolBindingContext, NDIS_HANDLE MacReceiveContext,
                               PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookAheadBuffer,
                               UINT LookaheadBufferSize, UINT PacketSize)
{
    if (!RelayIsEapolFrame(HeaderBuffer, HeaderBufferSize)) {
        return NDIS_STATUS_NOT_ACCEPTED;
    }
    return RelayReceiveEapolFrame((AdapterBinding *)ProtocolBindingContext, MacReceiveContext,
                                  (PUCHAR)HeaderBuffer, HeaderBufferSize, (PUCHAR)LookAheadBuffer,
                                  LookaheadBufferSize, PacketSize);
}

NDIS_STATUS RelayReceiveEapolFrame(AdapterBinding *Binding, NDIS_HANDLE MacReceiveContext,
                                   PUCHAR HeaderBuffer, UINT HeaderBufferSize, PUCHAR LookAheadBuffer,
                                   UINT LookaheadBufferSize, UINT PacketSize)
{
    // The block holds header and packet; a sum that does not fit is no frame.
    if (PacketSize > (UINT)~0u - HeaderBufferSize) {
        return NDIS_STATUS_NOT_ACCEPTED;
    }
    // A lookahead longer than the packet carries bytes beyond the frame;
    // only the packet's own bytes fit in the block.
    UINT lookahead = LookaheadBufferSize < PacketSize ? LookaheadBufferSize : PacketSize;

    PNDIS_PACKET packet;
    PUCHAR frame;
    if (RelayAllocateReceivePacket(Binding, HeaderBufferSize + PacketSize, &packet, &frame) !=
        NDIS_STATUS_SUCCESS) {
        return NDIS_STATUS_NOT_ACCEPTED;
    }
    RtlCopyMemory(frame, HeaderBuffer, HeaderBufferSize);
    RtlCopyMemory(frame + HeaderBufferSize, LookAheadBuffer, lookahead);

    if (PacketSize <= lookahead) {
        RelayTransferDataComplete(Binding, packet, NDIS_STATUS_SUCCESS, lookahead);
        return NDIS_STATUS_SUCCESS;
    }

    // The transfer writes through the packet's buffers: for its duration the
    // packet describes only the part of the block not yet filled.
    NDIS_STATUS status;
    PNDIS_BUFFER missing;
    NdisAllocateBuffer(&status, &missing, Binding->RecvBufferPool, frame + HeaderBufferSize + lookahead,
                       PacketSize - lookahead);
    if (status != NDIS_STATUS_SUCCESS) {
        RelayFreeReceivePacket(packet);
        return NDIS_STATUS_NOT_ACCEPTED;
    }
    PNDIS_BUFFER whole;
    NdisUnchainBufferAtFront(packet, &whole);
    RelayReceiveReserved(packet)->SavedFrameBuffer = whole;
    NdisChainBufferAtFront(packet, missing);

    // The open reference keeps the adapter open across the transfer call.
    UINT transferred = 0;
    RelayReferenceOpen(Binding);
    if (InterlockedCompareExchange(&Binding->Flags, 0, 0) != 0) {
        status = (NDIS_STATUS)STATUS_INVALID_DEVICE_STATE;
    } else {
        NdisTransferData(&status, Binding->BindingHandle, MacReceiveContext, lookahead,
                         PacketSize - lookahead, packet, &transferred);
    }
    RelayDereferenceOpen(Binding);

    if (status == NDIS_STATUS_PENDING) {
        return NDIS_STATUS_SUCCESS;
    }
    status = RelayTransferOutcome(status, transferred, PacketSize - lookahead);
    RelayTransferDataComplete(Binding, packet, status, transferred);
    return status == NDIS_STATUS_SUCCESS ? NDIS_STATUS_SUCCESS : NDIS_STATUS_NOT_ACCEPTED;
}

NDIS_STATUS RelayTransferOutcome(NDIS_STATUS Status, UINT BytesTransferred, UINT BytesWanted)
{
    // The block comes from pool memory nobody cleared: a transfer that filled
    // less than its buffer would hand clients bytes no frame carried. Such a
    // frame is dropped like a failed transfer.
    if (Status == NDIS_STATUS_SUCCESS && BytesTransferred < BytesWanted) {
        return NDIS_STATUS_FAILURE;
    }
    return Status;
}

VOID NTAPI RelayTransferDataComplete(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet,
                                     NDIS_STATUS Status, UINT BytesTransferred)
{
    ReceivePacketReserved *reserved = RelayReceiveReserved(Packet);

    if (reserved->SavedFrameBuffer != NULL) {
        PNDIS_BUFFER missing;
        NdisUnchainBufferAtFront(Packet, &missing);
        Status = RelayTransferOutcome(Status, BytesTransferred, MmGetMdlByteCount(missing));
        NdisChainBufferAtFront(Packet, reserved->SavedFrameBuffer);
        reserved->SavedFrameBuffer = NULL;
        NdisFreeBuffer(missing);
    }

    if (Status == NDIS_STATUS_SUCCESS) {
        RelayDeliverFrame((AdapterBinding *)ProtocolBindingContext, Packet);
    }
    RelayFreeReceivePacket(Packet);
}

VOID NTAPI RelayReceiveComplete(NDIS_HANDLE ProtocolBindingContext)
{
}
