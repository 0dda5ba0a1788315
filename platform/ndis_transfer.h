// NdisTransferData as the x86 headers have it: a call through the open
// block's TransferDataHandler with the block's own BindingHandle.
#pragma once

#include "platform/ndis_open.h"

// Copies BytesToTransfer bytes of the indicated frame's data (what follows
// its header), from ByteOffset on, into the packet's buffers. NDIS_STATUS_PENDING means
// the protocol's TransferDataCompleteHandler follows; any other status ends
// the transfer now, with *BytesTransferred filled in.
inline VOID NdisTransferData(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle,
                             NDIS_HANDLE MacReceiveContext, UINT ByteOffset, UINT BytesToTransfer,
                             PNDIS_PACKET Packet, PUINT BytesTransferred)
{
    PNDIS_OPEN_BLOCK open = (PNDIS_OPEN_BLOCK)NdisBindingHandle;
    *Status = open->TransferDataHandler(open->BindingHandle, MacReceiveContext, ByteOffset,
                                        BytesToTransfer, Packet, BytesTransferred);
}
