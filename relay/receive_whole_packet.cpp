// Frames indicated as whole packets: served straight from the miniport's
// buffers, or from a copy when the miniport needs its packet back at once.
#include "relay/receive.h"

INT NTAPI RelayReceivePacket(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet)
{
    AdapterBinding *binding = (AdapterBinding *)ProtocolBindingContext;
    PNDIS_BUFFER first;
    PVOID address;
    UINT firstLength;
    UINT totalLength;

    NdisGetFirstBufferFromPacketSafe(Packet, &first, &address, &firstLength, &totalLength,
                                     NormalPagePriority);
    if (first == NULL || address == NULL) {
        return 0;
    }
    if (!RelayIsEapolFrame(address, firstLength)) {
        return 0;
    }

    PNDIS_PACKET frame = Packet;
    PNDIS_PACKET copy = NULL;
    if (NDIS_GET_PACKET_STATUS(Packet) == NDIS_STATUS_RESOURCES) {
        PUCHAR block;
        UINT copied;
        if (RelayAllocateReceivePacket(binding, totalLength, &copy, &block) != NDIS_STATUS_SUCCESS) {
            return 0;
        }
        NdisCopyFromPacketToPacketSafe(copy, 0, totalLength, Packet, 0, &copied, NormalPagePriority);
        if (copied < totalLength) {
            RelayFreeReceivePacket(copy);
            return 0;
        }
        frame = copy;
    }

    RelayDeliverFrame(binding, frame);
    if (copy != NULL) {
        RelayFreeReceivePacket(copy);
    }
    return 0;
}
