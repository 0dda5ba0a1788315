#include "relay/send.h"

LONG RelayReferencePacket(PNDIS_PACKET Packet)
{
    return InterlockedIncrement(&RelaySendReserved(Packet)->PacketRefCount);
}

LONG RelayDereferencePacket(PNDIS_PACKET Packet)
{
    LONG count = InterlockedDecrement(&RelaySendReserved(Packet)->PacketRefCount);
    if (count == 0) {
        NdisFreePacket(Packet);
    }
    return count;
}
