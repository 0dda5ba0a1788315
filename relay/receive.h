// The receive side of the relay: reads wait on the binding's ReadQueue, and
// every EAPOL frame the adapter indicates is copied into each read pending at
// that moment. Frames are never kept: with no read pending a frame is lost.
#pragma once

#include "bindings/binding.h"
#include "platform/io.h"
#include "platform/ndis_packet.h"

// Length of an Ethernet header: destination, source, type.
#define RELAY_ETHERNET_HEADER_LENGTH 14

// The protocol's area of a receive packet. SavedFrameBuffer holds the buffer
// over the whole frame while a data transfer fills the rest of the frame
// through a second buffer; it is NULL at every other time.
typedef struct _ReceivePacketReserved {
    PNDIS_BUFFER SavedFrameBuffer;
} ReceivePacketReserved;

static_assert(sizeof(ReceivePacketReserved) <= RELAY_RECV_PACKET_RESERVED,
              "the receive pool reserves room for the receive packet's area");

inline ReceivePacketReserved *RelayReceiveReserved(PNDIS_PACKET Packet)
{
    return (ReceivePacketReserved *)Packet->ProtocolReserved;
}

// IRP_MJ_READ: queues a read of at least one Ethernet header's length on the
// attached binding.
NTSTATUS NTAPI RelayDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ReceiveHandler: a frame indicated as header plus lookahead.
NDIS_STATUS NTAPI RelayReceive(NDIS_HANDLE ProtocolBindingContext, NDIS_HANDLE MacReceiveContext,
                               PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookAheadBuffer,
                               UINT LookaheadBufferSize, UINT PacketSize);

// The rest of RelayReceive for a frame that is EAPOL: the frame assembled in
// a receive packet, fetched beyond the lookahead by a data transfer when
// needed, and delivered. RelayReceive's result.
NDIS_STATUS RelayReceiveEapolFrame(AdapterBinding *Binding, NDIS_HANDLE MacReceiveContext,
                                   PUCHAR HeaderBuffer, UINT HeaderBufferSize, PUCHAR LookAheadBuffer,
                                   UINT LookaheadBufferSize, UINT PacketSize);

// The status of a transfer that ended: a success that filled fewer than the
// bytes wanted is a failure, and the frame is dropped.
NDIS_STATUS RelayTransferOutcome(NDIS_STATUS Status, UINT BytesTransferred, UINT BytesWanted);

// TransferDataCompleteHandler, and the end of every frame RelayReceive assembles:
// delivers the frame when the transfer succeeded, then frees the packet.
VOID NTAPI RelayTransferDataComplete(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet,
                                     NDIS_STATUS Status, UINT BytesTransferred);

// ReceivePacketHandler: a frame indicated as a whole packet. Keeps no
// reference on the packet: always returns 0.
INT NTAPI RelayReceivePacket(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet);

// TRUE when the Length bytes at Frame hold an Ethernet header of type 0x888E.
// Offsets 12 and 13 hold the type in network byte order; a VLAN tag moves the
// type and is not looked past. Inline, because almost every frame on a busy
// wire is refused here: the refusal is these three comparisons and no call.
inline BOOLEAN RelayIsEapolFrame(const VOID *Frame, UINT Length)
{
    if (Frame == NULL || Length < RELAY_ETHERNET_HEADER_LENGTH) {
        return FALSE;
    }
    const UCHAR *bytes = (const UCHAR *)Frame;
    return bytes[12] == 0x88 && bytes[13] == 0x8E;
}

// A receive packet whose one buffer describes a new data block of Length
// bytes. On failure nothing is held and *Packet is NULL.
NDIS_STATUS RelayAllocateReceivePacket(AdapterBinding *Binding, UINT Length, PNDIS_PACKET *Packet,
                                       PUCHAR *Data);
VOID RelayFreeReceivePacket(PNDIS_PACKET Packet);

// Completes every read pending on the binding with its own copy of the
// frame in Packet. Always NDIS_STATUS_SUCCESS.
NDIS_STATUS RelayDeliverFrame(AdapterBinding *Binding, PNDIS_PACKET Packet);

// Copies the chain starting at Source into what Destination describes, as
// far as it has room. STATUS_BUFFER_OVERFLOW when the room ran out before the
// chain did; *BytesCopied is what was copied, on failure too.
NTSTATUS RelayCopyBuffersToMdl(PMDL Destination, PNDIS_BUFFER Source, PULONG BytesCopied);

// ReceiveCompleteHandler: a batch of indications has ended. Frames are
// delivered while they are indicated, so nothing is left to do.
VOID NTAPI RelayReceiveComplete(NDIS_HANDLE ProtocolBindingContext);
