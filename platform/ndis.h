// NDIS 5.0 basics: statuses, handles, memory, locks, events, requests, pools.
#pragma once

#include "platform/ke.h"
#include "platform/rtl.h"
#include "platform/types.h"

typedef int NDIS_STATUS, *PNDIS_STATUS;
typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef ULONG NDIS_OID, *PNDIS_OID;
typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;

#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000L)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103L)
#define NDIS_STATUS_NOT_RECOGNIZED ((NDIS_STATUS)0x00010001L)
#define NDIS_STATUS_NOT_COPIED ((NDIS_STATUS)0x00010002L)
#define NDIS_STATUS_NOT_ACCEPTED ((NDIS_STATUS)0x00010003L)
#define NDIS_STATUS_RESET_START ((NDIS_STATUS)0x40010004L)
#define NDIS_STATUS_RESET_END ((NDIS_STATUS)0x40010005L)
#define NDIS_STATUS_MEDIA_CONNECT ((NDIS_STATUS)0x4001000BL)
#define NDIS_STATUS_MEDIA_DISCONNECT ((NDIS_STATUS)0x4001000CL)
#define NDIS_STATUS_MEDIA_SPECIFIC_INDICATION ((NDIS_STATUS)0x40010012L)
#define NDIS_STATUS_BUFFER_OVERFLOW ((NDIS_STATUS)0x80000005L)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001L)
#define NDIS_STATUS_INVALID_DEVICE_REQUEST ((NDIS_STATUS)0xC0000010L)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009AL)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BBL)
#define NDIS_STATUS_NETWORK_UNREACHABLE ((NDIS_STATUS)0xC000023CL)
#define NDIS_STATUS_CLOSING ((NDIS_STATUS)0xC0010002L)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004L)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005L)
#define NDIS_STATUS_ADAPTER_NOT_FOUND ((NDIS_STATUS)0xC0010006L)
#define NDIS_STATUS_OPEN_FAILED ((NDIS_STATUS)0xC0010007L)
#define NDIS_STATUS_MULTICAST_FULL ((NDIS_STATUS)0xC0010009L)
#define NDIS_STATUS_INVALID_PACKET ((NDIS_STATUS)0xC001000FL)
#define NDIS_STATUS_ADAPTER_NOT_READY ((NDIS_STATUS)0xC0010011L)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015L)
#define NDIS_STATUS_BUFFER_TOO_SHORT ((NDIS_STATUS)0xC0010016L)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017L)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)
#define NDIS_STATUS_NO_CABLE ((NDIS_STATUS)0xC001001FL)

// OIDs the driver and its clients use, and the values they set.
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113
#define OID_GEN_MEDIA_CONNECT_STATUS 0x00010114
#define OID_802_3_PERMANENT_ADDRESS 0x01010101
#define OID_802_3_CURRENT_ADDRESS 0x01010102
#define OID_802_3_MULTICAST_LIST 0x01010103
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104

#define NDIS_PACKET_TYPE_DIRECTED 0x00000001
#define NDIS_PACKET_TYPE_MULTICAST 0x00000002
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x00000004
#define NDIS_PACKET_TYPE_BROADCAST 0x00000008
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x00000020
#define NDIS_PROT_OPTION_NO_LOOPBACK 0x00000002

// What OID_GEN_MAC_OPTIONS tells of an adapter.
#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008

typedef enum _NDIS_MEDIUM {
    NdisMedium802_3 = 0,
    NdisMedium802_5 = 1,
    NdisMediumFddi = 2,
    NdisMediumWan = 3,
} NDIS_MEDIUM, *PNDIS_MEDIUM;

typedef enum _NDIS_DEVICE_POWER_STATE {
    NdisDeviceStateUnspecified = 0,
    NdisDeviceStateD0 = 1,
    NdisDeviceStateD1 = 2,
    NdisDeviceStateD2 = 3,
    NdisDeviceStateD3 = 4,
} NDIS_DEVICE_POWER_STATE;

typedef struct _NDIS_SPIN_LOCK {
    KSPIN_LOCK SpinLock;
    KIRQL OldIrql;
} NDIS_SPIN_LOCK, *PNDIS_SPIN_LOCK;

typedef struct _NDIS_EVENT {
    KEVENT Event;
} NDIS_EVENT, *PNDIS_EVENT;

typedef enum _NDIS_REQUEST_TYPE {
    NdisRequestQueryInformation = 0,
    NdisRequestSetInformation = 1,
    NdisRequestQueryStatistics = 2,
} NDIS_REQUEST_TYPE;

// The NDIS 5.0 layout: the 3.0 request followed by the reserved areas.
typedef struct _NDIS_REQUEST {
    UCHAR MacReserved[4 * sizeof(PVOID)];
    NDIS_REQUEST_TYPE RequestType;
    union _DATA {
        struct _QUERY_INFORMATION {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            UINT InformationBufferLength;
            UINT BytesWritten;
            UINT BytesNeeded;
        } QUERY_INFORMATION;
        struct _SET_INFORMATION {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            UINT InformationBufferLength;
            UINT BytesRead;
            UINT BytesNeeded;
        } SET_INFORMATION;
    } DATA;
    UCHAR NdisReserved[9 * sizeof(PVOID)];
    union {
        UCHAR CallMgrReserved[2 * sizeof(PVOID)];
        UCHAR ProtocolReserved[2 * sizeof(PVOID)];
    };
    UCHAR MiniportReserved[2 * sizeof(PVOID)];
} NDIS_REQUEST, *PNDIS_REQUEST;

X86_LAYOUT_ASSERT(sizeof(NDIS_SPIN_LOCK) == 8);
X86_LAYOUT_ASSERT(sizeof(NDIS_EVENT) == 16);
X86_LAYOUT_ASSERT(offsetof(NDIS_REQUEST, RequestType) == 16);
X86_LAYOUT_ASSERT(offsetof(NDIS_REQUEST, DATA) == 20);
X86_LAYOUT_ASSERT(sizeof(NDIS_REQUEST) == 92);

extern "C" {
NDIS_STATUS NTAPI NdisAllocateMemoryWithTag(PVOID *VirtualAddress, UINT Length, ULONG Tag);
VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

VOID NTAPI NdisInitializeEvent(PNDIS_EVENT Event);
VOID NTAPI NdisSetEvent(PNDIS_EVENT Event);
VOID NTAPI NdisResetEvent(PNDIS_EVENT Event);
// MsToWait 0 waits without a time limit; returns FALSE when the time ran out.
BOOLEAN NTAPI NdisWaitEvent(PNDIS_EVENT Event, UINT MsToWait);

VOID NTAPI NdisAllocatePacketPoolEx(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                    UINT NumberOfDescriptors, UINT NumberOfOverflowDescriptors,
                                    UINT ProtocolReservedLength);
VOID NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle);
VOID NTAPI NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                  UINT NumberOfDescriptors);
VOID NTAPI NdisFreeBufferPool(NDIS_HANDLE PoolHandle);

VOID NTAPI NdisRequest(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle, PNDIS_REQUEST NdisRequest);
}
