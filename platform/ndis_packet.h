// NDIS packets and buffers. An NDIS_BUFFER is an MDL on this platform.
#pragma once

#include "platform/mm.h"
#include "platform/ndis.h"

typedef MDL NDIS_BUFFER, *PNDIS_BUFFER;

typedef struct _NDIS_PACKET_PRIVATE {
    UINT PhysicalCount;
    UINT TotalLength;
    PNDIS_BUFFER Head;
    PNDIS_BUFFER Tail;
    PVOID Pool;
    UINT Count;
    ULONG Flags;
    BOOLEAN ValidCounts;
    UCHAR NdisPacketFlags;
    USHORT NdisPacketOobOffset;
} NDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    union {
        struct {
            UCHAR MiniportReserved[2 * sizeof(PVOID)];
            UCHAR WrapperReserved[2 * sizeof(PVOID)];
        };
        struct {
            UCHAR MacReserved[4 * sizeof(PVOID)];
        };
    };
    ULONG_PTR Reserved[2];
    // The protocol's private area: as long as the pool's ProtocolReservedLength.
    UCHAR ProtocolReserved[1];
} NDIS_PACKET, *PNDIS_PACKET;

typedef struct _NDIS_PACKET_OOB_DATA {
    ULONGLONG TimeToSend;
    ULONGLONG TimeReceived;
    UINT HeaderSize;
    UINT SizeMediaSpecificInfo;
    PVOID MediaSpecificInformation;
    NDIS_STATUS Status;
} NDIS_PACKET_OOB_DATA, *PNDIS_PACKET_OOB_DATA;

X86_LAYOUT_ASSERT(sizeof(NDIS_PACKET_PRIVATE) == 32);
X86_LAYOUT_ASSERT(offsetof(NDIS_PACKET, ProtocolReserved) == 56);
X86_LAYOUT_ASSERT(offsetof(NDIS_PACKET_OOB_DATA, Status) == 28);

extern "C" {
VOID NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET *Packet, NDIS_HANDLE PoolHandle);
VOID NTAPI NdisFreePacket(PNDIS_PACKET Packet);
VOID NTAPI NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER *Buffer, NDIS_HANDLE PoolHandle,
                              PVOID VirtualAddress, UINT Length);
VOID NTAPI NdisUnchainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER *Buffer);
VOID NTAPI NdisCopyFromPacketToPacketSafe(PNDIS_PACKET Destination, UINT DestinationOffset,
                                          UINT BytesToCopy, PNDIS_PACKET Source, UINT SourceOffset,
                                          PUINT BytesCopied, MM_PAGE_PRIORITY Priority);
}

// What the platform's headers define as macros.

inline VOID NdisFreeBuffer(PNDIS_BUFFER Buffer)
{
    IoFreeMdl(Buffer);
}

inline PNDIS_PACKET_OOB_DATA NDIS_OOB_DATA_FROM_PACKET(PNDIS_PACKET Packet)
{
    return (PNDIS_PACKET_OOB_DATA)((PUCHAR)Packet + Packet->Private.NdisPacketOobOffset);
}

inline NDIS_STATUS NDIS_GET_PACKET_STATUS(PNDIS_PACKET Packet)
{
    return NDIS_OOB_DATA_FROM_PACKET(Packet)->Status;
}

inline VOID NDIS_SET_PACKET_STATUS(PNDIS_PACKET Packet, NDIS_STATUS Status)
{
    NDIS_OOB_DATA_FROM_PACKET(Packet)->Status = Status;
}

inline VOID NdisChainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer)
{
    PNDIS_BUFFER last = Buffer;
    while (last->Next != nullptr) {
        last = last->Next;
    }
    if (Packet->Private.Head == nullptr) {
        Packet->Private.Tail = last;
    }
    last->Next = Packet->Private.Head;
    Packet->Private.Head = Buffer;
    Packet->Private.ValidCounts = FALSE;
}

inline VOID NdisQueryBufferSafe(PNDIS_BUFFER Buffer, PVOID *VirtualAddress, PUINT Length,
                                MM_PAGE_PRIORITY Priority)
{
    if (VirtualAddress != nullptr) {
        *VirtualAddress = MmGetSystemAddressForMdlSafe(Buffer, Priority);
    }
    *Length = MmGetMdlByteCount(Buffer);
}

inline VOID NdisGetFirstBufferFromPacketSafe(PNDIS_PACKET Packet, PNDIS_BUFFER *FirstBuffer,
                                             PVOID *FirstBufferVA, PUINT FirstBufferLength,
                                             PUINT TotalBufferLength, MM_PAGE_PRIORITY Priority)
{
    PNDIS_BUFFER buffer = Packet->Private.Head;
    *FirstBuffer = buffer;
    if (buffer == nullptr) {
        *FirstBufferVA = nullptr;
        *FirstBufferLength = 0;
        *TotalBufferLength = 0;
        return;
    }
    *FirstBufferVA = MmGetSystemAddressForMdlSafe(buffer, Priority);
    *FirstBufferLength = MmGetMdlByteCount(buffer);
    *TotalBufferLength = *FirstBufferLength;
    for (buffer = buffer->Next; buffer != nullptr; buffer = buffer->Next) {
        *TotalBufferLength += MmGetMdlByteCount(buffer);
    }
}
