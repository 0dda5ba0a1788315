// The open adapter as NDIS hands it to a protocol: NdisOpenAdapter's binding
// handle points at an NDIS_OPEN_BLOCK. On x86 the kernel headers send packets
// and transfer data by calling through this block's handlers directly, as
// macros, so the leading part of the block is part of the platform's contract.
// Only that part is declared here; what follows it belongs to NDIS alone.
#pragma once

#include "platform/ndis_protocol.h"

typedef PNDIS_PACKET *PPNDIS_PACKET;

typedef NDIS_STATUS(NTAPI *SEND_HANDLER)(NDIS_HANDLE MacBindingHandle, PNDIS_PACKET Packet);
typedef NDIS_STATUS(NTAPI *TRANSFER_DATA_HANDLER)(NDIS_HANDLE MacBindingHandle,
                                                  NDIS_HANDLE MacReceiveContext, UINT ByteOffset,
                                                  UINT BytesToTransfer, PNDIS_PACKET Packet,
                                                  PUINT BytesTransferred);
// Called with the open block itself as the first argument.
typedef VOID(NTAPI *SEND_PACKETS_HANDLER)(NDIS_HANDLE NdisBindingHandle, PPNDIS_PACKET PacketArray,
                                          UINT NumberOfPackets);
typedef NDIS_STATUS(NTAPI *RESET_HANDLER)(NDIS_HANDLE MacBindingHandle);
typedef NDIS_STATUS(NTAPI *REQUEST_HANDLER)(NDIS_HANDLE MacBindingHandle,
                                            PNDIS_REQUEST NdisRequest);

typedef struct _NDIS_OPEN_BLOCK {
    PVOID MacHandle;
    NDIS_HANDLE BindingHandle;  // first argument of TransferDataHandler
    PVOID MiniportHandle;
    PVOID ProtocolHandle;
    NDIS_HANDLE ProtocolBindingContext;
    struct _NDIS_OPEN_BLOCK *MiniportNextOpen;
    struct _NDIS_OPEN_BLOCK *ProtocolNextOpen;
    NDIS_HANDLE MiniportAdapterContext;
    BOOLEAN Reserved1;
    BOOLEAN Reserved2;
    BOOLEAN Reserved3;
    BOOLEAN Reserved4;
    PNDIS_STRING BindDeviceName;
    KSPIN_LOCK Reserved5;
    PNDIS_STRING RootDeviceName;
    union {
        SEND_HANDLER SendHandler;
        PVOID WanSendHandler;
    };
    TRANSFER_DATA_HANDLER TransferDataHandler;
    SEND_COMPLETE_HANDLER SendCompleteHandler;
    TRANSFER_DATA_COMPLETE_HANDLER TransferDataCompleteHandler;
    RECEIVE_HANDLER ReceiveHandler;
    RECEIVE_COMPLETE_HANDLER ReceiveCompleteHandler;
    PVOID WanReceiveHandler;
    REQUEST_COMPLETE_HANDLER RequestCompleteHandler;
    RECEIVE_PACKET_HANDLER ReceivePacketHandler;
    SEND_PACKETS_HANDLER SendPacketsHandler;
    RESET_HANDLER ResetHandler;
    REQUEST_HANDLER RequestHandler;
    RESET_COMPLETE_HANDLER ResetCompleteHandler;
    STATUS_HANDLER StatusHandler;
    STATUS_COMPLETE_HANDLER StatusCompleteHandler;
} NDIS_OPEN_BLOCK, *PNDIS_OPEN_BLOCK;

X86_LAYOUT_ASSERT(offsetof(NDIS_OPEN_BLOCK, BindingHandle) == 4);
X86_LAYOUT_ASSERT(offsetof(NDIS_OPEN_BLOCK, ProtocolBindingContext) == 16);
X86_LAYOUT_ASSERT(offsetof(NDIS_OPEN_BLOCK, SendHandler) == 48);
X86_LAYOUT_ASSERT(offsetof(NDIS_OPEN_BLOCK, TransferDataHandler) == 52);
X86_LAYOUT_ASSERT(offsetof(NDIS_OPEN_BLOCK, RequestCompleteHandler) == 76);
X86_LAYOUT_ASSERT(offsetof(NDIS_OPEN_BLOCK, SendPacketsHandler) == 84);
X86_LAYOUT_ASSERT(offsetof(NDIS_OPEN_BLOCK, StatusCompleteHandler) == 104);
