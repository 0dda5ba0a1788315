// The send side of the relay: a write sends the caller's locked buffer, as
// written, as the only buffer of one packet, and completes when the adapter
// completes the send.
#pragma once

#include "bindings/binding.h"
#include "platform/io.h"
#include "platform/ndis_packet.h"

// The protocol's area of a send packet.
typedef struct _SendPacketReserved {
    volatile LONG PacketRefCount;  // the packet goes back to its pool at 0
    PIRP WriteIrp;                 // the write the packet carries; taken by the completion
} SendPacketReserved;

X86_LAYOUT_ASSERT(sizeof(SendPacketReserved) == RELAY_SEND_PACKET_RESERVED);

inline SendPacketReserved *RelaySendReserved(PNDIS_PACKET Packet)
{
    return (SendPacketReserved *)Packet->ProtocolReserved;
}

// IRP_MJ_WRITE.
NTSTATUS NTAPI RelayDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Hands the write's first MDL to the adapter. NDIS_STATUS_PENDING once the
// packet is handed over (the request then belongs to the send completion);
// otherwise why nothing was sent: the pool's failure, or
// (NDIS_STATUS)STATUS_INVALID_DEVICE_STATE when the binding takes no new work.
NDIS_STATUS RelaySendFrame(AdapterBinding *Binding, PIRP Irp);

// SendCompleteHandler: completes the write with the send's status and the frame's length.
VOID NTAPI RelaySendComplete(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet,
                             NDIS_STATUS Status);

LONG RelayReferencePacket(PNDIS_PACKET Packet);
// Returns the packet to its pool when the count reaches 0.
LONG RelayDereferencePacket(PNDIS_PACKET Packet);
