// Scenario helpers for requests that wait on a binding's queues: files
// attached to a binding, and dispatch routines that queue a read or a status
// wait the way the relay's read and wait requests do once validated.
#pragma once

#include "bindings/binding.h"
#include "sim/io.h"

namespace rztest {

// A client handle attached to the binding: FsContext holds it with one reference.
sim::File AttachFile(PDEVICE_OBJECT device, AdapterBinding *binding);
// The handle's close: the attachment's reference goes.
void CloseAttachedFile(const sim::File &file);

// Dispatch routines queueing the request on the attached binding's queue
// with that queue's cancel routine; a refused request is completed at once
// with STATUS_CANCELLED.
NTSTATUS NTAPI QueueRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI QueueConnectWait(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI QueueDisconnectWait(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI QueueMediaSpecificWait(PDEVICE_OBJECT device, PIRP irp);

// A request of the kind the dispatch routine queues: IRP_MJ_READ for reads,
// IRP_MJ_DEVICE_CONTROL for waits.
sim::Request NewPendingRequest(const sim::File &file, PDRIVER_DISPATCH queue);

size_t QueuedRequestCount(const IrpQueue &queue);

}  // namespace rztest
