// NdisSendPackets as the x86 headers have it: a call through the open
// block's SendPacketsHandler, with the open block itself as the handle.
#pragma once

#include "platform/ndis_open.h"

// Hands the packets to the adapter; each one's outcome arrives through the
// protocol's SendCompleteHandler, possibly before this returns.
inline VOID NdisSendPackets(NDIS_HANDLE NdisBindingHandle, PPNDIS_PACKET PacketArray,
                            UINT NumberOfPackets)
{
    PNDIS_OPEN_BLOCK open = (PNDIS_OPEN_BLOCK)NdisBindingHandle;
    open->SendPacketsHandler(open, PacketArray, NumberOfPackets);
}
