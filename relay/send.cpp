// Sends: the write's own MDL goes to the adapter as the packet's only buffer.
#include "bindings/lifecycle.h"
#include "core/status.h"
#include "platform/ndis_send.h"
#include "relay/send.h"

// The MDL chain a write came with beyond its first MDL waits in this slot of
// the request while the first MDL alone is the packet's buffer, and is put
// back before the request completes, so that the I/O manager releases the
// whole chain.
#define RELAY_WRITE_MDL_REST 1

NDIS_STATUS RelaySendFrame(AdapterBinding *Binding, PIRP Irp)
{
    PNDIS_PACKET packet;
    NDIS_STATUS status;

    NdisAllocatePacket(&status, &packet, Binding->SendPacketPool);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    SendPacketReserved *reserved = RelaySendReserved(packet);
    reserved->PacketRefCount = 0;
    reserved->WriteIrp = NULL;
    RelayReferencePacket(packet);

    // Held from before the flags test to after the hand-off: an adapter that
    // passes the test stays open until the packet is with it.
    RelayReferenceOpen(Binding);
    if (InterlockedCompareExchange(&Binding->Flags, 0, 0) != 0) {
        status = (NDIS_STATUS)STATUS_INVALID_DEVICE_STATE;
    } else {
        // The completion may run before NdisSendPackets returns.
        IoMarkIrpPending(Irp);
        InterlockedExchangePointer(&Irp->Tail.Overlay.DriverContext[0], Binding);
        RelayReferenceBinding(Binding);

        PMDL frame = Irp->MdlAddress;
        reserved->WriteIrp = Irp;
        Irp->Tail.Overlay.DriverContext[RELAY_WRITE_MDL_REST] = frame->Next;
        frame->Next = NULL;
        NdisChainBufferAtFront(packet, frame);

        status = NDIS_STATUS_PENDING;
        NdisSendPackets(Binding->BindingHandle, &packet, 1);
    }
    RelayDereferenceOpen(Binding);

    if (status != NDIS_STATUS_SUCCESS && status != NDIS_STATUS_PENDING) {
        RelayDereferencePacket(packet);
    }
    return status;
}

VOID NTAPI RelaySendComplete(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet,
                             NDIS_STATUS Status)
{
    // A send completes with its final status; pending is none, and the
    // write it ends would otherwise complete with STATUS_PENDING.
    NTSTATUS status = RelayNdisToNtStatus(Status == NDIS_STATUS_PENDING ? NDIS_STATUS_FAILURE : Status);
    PIRP irp = (PIRP)InterlockedExchangePointer((PVOID volatile *)&RelaySendReserved(Packet)->WriteIrp,
                                                NULL);

    // The packet's buffer is the request's MDL, which the I/O manager
    // releases with the request: the packet goes first.
    RelayDereferencePacket(Packet);

    InterlockedExchangePointer(&irp->Tail.Overlay.DriverContext[0], NULL);
    RelayDereferenceBinding((AdapterBinding *)ProtocolBindingContext);

    PMDL frame = irp->MdlAddress;
    frame->Next = (PMDL)irp->Tail.Overlay.DriverContext[RELAY_WRITE_MDL_REST];
    irp->Tail.Overlay.DriverContext[RELAY_WRITE_MDL_REST] = NULL;

    irp->IoStatus.Status = status;
    irp->IoStatus.Information = MmGetMdlByteCount(frame);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}
