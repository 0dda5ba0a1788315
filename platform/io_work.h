// I/O work items: a routine the driver hands to the I/O manager to run later
// at PASSIVE_LEVEL in a system worker thread. Unlike an NDIS work item, a
// queued I/O work item holds its device object, and so the driver's image,
// until the routine has returned: the routine may be the driver's last code
// to run before it is unloaded.
#pragma once

#include "platform/io.h"

typedef struct _IO_WORKITEM *PIO_WORKITEM;

typedef VOID(NTAPI *PIO_WORKITEM_ROUTINE)(PDEVICE_OBJECT DeviceObject, PVOID Context);

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;

extern "C" {
// An item bound to `DeviceObject`, or NULL when no memory is left; at most DISPATCH_LEVEL.
PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
// Runs `WorkerRoutine` once, later, with the item's device object and
// `Context`; the item may be queued again once its routine has started.
VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context);
// Frees an item that is not queued; its own routine may free it.
VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
}
