// Receive packets: one packet, one data block and one buffer over the whole block.
#include "relay/receive.h"

NDIS_STATUS RelayAllocateReceivePacket(AdapterBinding *Binding, UINT Length, PNDIS_PACKET *Packet,
                                       PUCHAR *Data)
{
    PNDIS_PACKET packet;
    PVOID block = NULL;
    PNDIS_BUFFER buffer;
    NDIS_STATUS status;

    *Packet = NULL;
    *Data = NULL;

    NdisAllocatePacket(&status, &packet, Binding->RecvPacketPool);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    RelayReceiveReserved(packet)->SavedFrameBuffer = NULL;

    status = NdisAllocateMemoryWithTag(&block, Length, RELAY_POOL_TAG);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisFreePacket(packet);
        return status;
    }

    NdisAllocateBuffer(&status, &buffer, Binding->RecvBufferPool, block, Length);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(block, 0, 0);
        NdisFreePacket(packet);
        return status;
    }

    NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_SUCCESS);
    buffer->Next = NULL;
    NdisChainBufferAtFront(packet, buffer);

    *Packet = packet;
    *Data = (PUCHAR)block;
    return NDIS_STATUS_SUCCESS;
}

// The packet holds only its whole-frame buffer here, whose address is the
// data block's: buffers from a buffer pool describe nonpaged memory and are
// always mapped.
VOID RelayFreeReceivePacket(PNDIS_PACKET Packet)
{
    PNDIS_BUFFER buffer;
    PVOID block;
    UINT length;

    NdisUnchainBufferAtFront(Packet, &buffer);
    NdisQueryBufferSafe(buffer, &block, &length, NormalPagePriority);
    NdisFreeBuffer(buffer);
    NdisFreeMemory(block, 0, 0);
    NdisFreePacket(Packet);
}
