// The queues of pending requests: the one discipline by which a read or a
// status wait enters a binding's queue and leaves it, so that each request is
// completed exactly once whether an answer, a cancellation, the cleanup of
// its handle or the removal of its adapter comes first.
//
// A queued request holds its binding in Tail.Overlay.DriverContext[0], with one
// RefCount reference, and the cancel routine of its queue. Whoever takes the
// cancel routine back by atomic exchange owns the request and completes it;
// whoever gets NULL back leaves it alone. No request is completed under a
// queue lock, and at most one queue lock is held at a time.
#pragma once

#include "bindings/binding.h"
#include "platform/io.h"

void RelayAcquireQueueLock(IrpQueue *Queue);
void RelayReleaseQueueLock(IrpQueue *Queue);

// Queues the request with its cancel routine armed and marks it pending:
// STATUS_PENDING. Otherwise the request is untouched and the caller completes
// it with the status returned: STATUS_DEVICE_REMOVED when the binding is
// unbinding (its queues are flushed or about to be), STATUS_CANCELLED when its
// cancellation was asked for before and the routine came back. The caller
// holds a reference of its own on the binding.
NTSTATUS RelayEnqueueRequest(IrpQueue *Queue, AdapterBinding *Binding, PIRP Irp,
                             PDRIVER_CANCEL CancelRoutine);

// Claims every request of the queue, or only those of one file when
// FileObject is not NULL, oldest first, onto the tail of Collected; requests
// being cancelled stay where they are. The caller holds a reference of its
// own on the binding and completes the claimed requests outside every lock.
void RelayCollectRequests(IrpQueue *Queue, AdapterBinding *Binding, PFILE_OBJECT FileObject,
                          PLIST_ENTRY Collected);

// Completes every request of a collector's list, from its head, with Status
// and Information 0.
void RelayCompleteCollectedRequests(PLIST_ENTRY Collected, NTSTATUS Status);

// The cancel routines of the four queues.
VOID NTAPI RelayCancelConnectWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI RelayCancelDisconnectWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI RelayCancelMediaSpecificWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI RelayCancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MJ_CLEANUP: cancels the file's waits and reads; always STATUS_SUCCESS.
NTSTATUS NTAPI RelayDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Completes every request still queued on the binding with Status: its
// adapter is gone.
void RelayFlushBindingRequests(AdapterBinding *Binding, NTSTATUS Status);
