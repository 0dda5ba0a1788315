// NDIS 5.0 protocol interface: characteristics, registration, binding.
#pragma once

#include "platform/ndis.h"

typedef struct _NDIS_PACKET NDIS_PACKET, *PNDIS_PACKET;

// Fixed to int, as the enum is on Windows, so that any code the stack hands
// over (unknown ones included) is a value of the type.
typedef enum _NET_PNP_EVENT_CODE : int {
    NetEventSetPower = 0,
    NetEventQueryPower = 1,
    NetEventQueryRemoveDevice = 2,
    NetEventCancelRemoveDevice = 3,
    NetEventReconfigure = 4,
    NetEventBindList = 5,
    NetEventBindsComplete = 6,
    NetEventPnPCapabilities = 7,
} NET_PNP_EVENT_CODE;

typedef struct _NET_PNP_EVENT {
    NET_PNP_EVENT_CODE NetEvent;
    PVOID Buffer;
    ULONG BufferLength;
    ULONG_PTR NdisReserved[4];
    ULONG_PTR TransportReserved[4];
    ULONG_PTR TdiReserved[4];
    ULONG_PTR TdiClientReserved[4];
} NET_PNP_EVENT, *PNET_PNP_EVENT;

typedef VOID(NTAPI *OPEN_ADAPTER_COMPLETE_HANDLER)(NDIS_HANDLE ProtocolBindingContext,
                                                   NDIS_STATUS Status, NDIS_STATUS OpenErrorStatus);
typedef VOID(NTAPI *CLOSE_ADAPTER_COMPLETE_HANDLER)(NDIS_HANDLE ProtocolBindingContext,
                                                    NDIS_STATUS Status);
typedef VOID(NTAPI *SEND_COMPLETE_HANDLER)(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet,
                                           NDIS_STATUS Status);
typedef VOID(NTAPI *TRANSFER_DATA_COMPLETE_HANDLER)(NDIS_HANDLE ProtocolBindingContext,
                                                    PNDIS_PACKET Packet, NDIS_STATUS Status,
                                                    UINT BytesTransferred);
typedef VOID(NTAPI *RESET_COMPLETE_HANDLER)(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status);
typedef VOID(NTAPI *REQUEST_COMPLETE_HANDLER)(NDIS_HANDLE ProtocolBindingContext,
                                              PNDIS_REQUEST NdisRequest, NDIS_STATUS Status);
typedef NDIS_STATUS(NTAPI *RECEIVE_HANDLER)(NDIS_HANDLE ProtocolBindingContext,
                                            NDIS_HANDLE MacReceiveContext, PVOID HeaderBuffer,
                                            UINT HeaderBufferSize, PVOID LookAheadBuffer,
                                            UINT LookaheadBufferSize, UINT PacketSize);
typedef VOID(NTAPI *RECEIVE_COMPLETE_HANDLER)(NDIS_HANDLE ProtocolBindingContext);
typedef VOID(NTAPI *STATUS_HANDLER)(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS GeneralStatus,
                                    PVOID StatusBuffer, UINT StatusBufferSize);
typedef VOID(NTAPI *STATUS_COMPLETE_HANDLER)(NDIS_HANDLE ProtocolBindingContext);
typedef INT(NTAPI *RECEIVE_PACKET_HANDLER)(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet);
typedef VOID(NTAPI *BIND_HANDLER)(PNDIS_STATUS Status, NDIS_HANDLE BindContext,
                                  PNDIS_STRING DeviceName, PVOID SystemSpecific1,
                                  PVOID SystemSpecific2);
typedef VOID(NTAPI *UNBIND_HANDLER)(PNDIS_STATUS Status, NDIS_HANDLE ProtocolBindingContext,
                                    NDIS_HANDLE UnbindContext);
typedef NDIS_STATUS(NTAPI *PNP_EVENT_HANDLER)(NDIS_HANDLE ProtocolBindingContext,
                                              PNET_PNP_EVENT NetPnPEvent);
typedef VOID(NTAPI *UNLOAD_PROTOCOL_HANDLER)(VOID);

typedef struct _NDIS50_PROTOCOL_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    USHORT Filler;
    UINT Flags;
    OPEN_ADAPTER_COMPLETE_HANDLER OpenAdapterCompleteHandler;
    CLOSE_ADAPTER_COMPLETE_HANDLER CloseAdapterCompleteHandler;
    SEND_COMPLETE_HANDLER SendCompleteHandler;
    TRANSFER_DATA_COMPLETE_HANDLER TransferDataCompleteHandler;
    RESET_COMPLETE_HANDLER ResetCompleteHandler;
    REQUEST_COMPLETE_HANDLER RequestCompleteHandler;
    RECEIVE_HANDLER ReceiveHandler;
    RECEIVE_COMPLETE_HANDLER ReceiveCompleteHandler;
    STATUS_HANDLER StatusHandler;
    STATUS_COMPLETE_HANDLER StatusCompleteHandler;
    NDIS_STRING Name;
    RECEIVE_PACKET_HANDLER ReceivePacketHandler;
    BIND_HANDLER BindAdapterHandler;
    UNBIND_HANDLER UnbindAdapterHandler;
    PNP_EVENT_HANDLER PnPEventHandler;
    UNLOAD_PROTOCOL_HANDLER UnloadHandler;
    PVOID ReservedHandlers[4];
    PVOID CoSendCompleteHandler;
    PVOID CoStatusHandler;
    PVOID CoReceivePacketHandler;
    PVOID CoAfRegisterNotifyHandler;
} NDIS50_PROTOCOL_CHARACTERISTICS, *PNDIS50_PROTOCOL_CHARACTERISTICS;

X86_LAYOUT_ASSERT(sizeof(NDIS50_PROTOCOL_CHARACTERISTICS) == 108);
X86_LAYOUT_ASSERT(sizeof(NET_PNP_EVENT) == 76);

extern "C" {
VOID NTAPI NdisRegisterProtocol(PNDIS_STATUS Status, PNDIS_HANDLE NdisProtocolHandle,
                                PNDIS50_PROTOCOL_CHARACTERISTICS ProtocolCharacteristics,
                                UINT CharacteristicsLength);
VOID NTAPI NdisDeregisterProtocol(PNDIS_STATUS Status, NDIS_HANDLE NdisProtocolHandle);
VOID NTAPI NdisOpenAdapter(PNDIS_STATUS Status, PNDIS_STATUS OpenErrorStatus,
                           PNDIS_HANDLE NdisBindingHandle, PUINT SelectedMediumIndex,
                           PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                           NDIS_HANDLE NdisProtocolHandle, NDIS_HANDLE ProtocolBindingContext,
                           PNDIS_STRING AdapterName, UINT OpenOptions,
                           PVOID AddressingInformation);
VOID NTAPI NdisCloseAdapter(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle);
VOID NTAPI NdisCompleteBindAdapter(NDIS_HANDLE BindAdapterContext, NDIS_STATUS Status,
                                   NDIS_STATUS OpenStatus);
VOID NTAPI NdisCompleteUnbindAdapter(NDIS_HANDLE UnbindAdapterContext, NDIS_STATUS Status);
}
