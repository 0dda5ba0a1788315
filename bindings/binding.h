// The driver-wide context, the per-adapter binding record, its queues of
// pending requests, and the binding list where clients find bindings by name.
#pragma once

#include "platform/io.h"
#include "platform/io_work.h"
#include "platform/ndis.h"

// One queue of pending requests; requests enter and leave it only through
// the relay's queue discipline.
typedef struct _IrpQueue {
    LIST_ENTRY PendingList;  // oldest first, linked through Tail.Overlay.ListEntry
    KSPIN_LOCK Lock;         // guards PendingList
    KIRQL OldIrql;           // what KfAcquireSpinLock returned; valid while Lock is held
} IrpQueue;

// Flag bits of AdapterBinding.Flags: any set bit means the binding takes no new work.
#define BINDING_RESET_IN_PROGRESS 0x1
#define BINDING_UNLOADING 0x2
#define BINDING_UNBINDING 0x4

// One adapter the driver is bound to; the ProtocolBindingContext of every
// handler call. RefCount keeps the memory, OpenRefCount keeps the adapter open.
typedef struct _AdapterBinding {
    LIST_ENTRY Link;                // membership in BindingList
    volatile LONG RefCount;
    NDIS_HANDLE BindingHandle;      // the open adapter; NULL when not open
    volatile LONG OpenRefCount;
    UNICODE_STRING DeviceName;      // private copy, NUL-terminated
    volatile LONG Flags;
    UINT SelectedMediumIndex;
    NDIS_HANDLE BindContext;        // until the bind is completed
    // Taken once by whoever reports the bind's end: the bind handler by its
    // return, or the bind's completion by NdisCompleteBindAdapter.
    volatile LONG BindReportClaimed;
    NDIS_HANDLE UnbindContext;      // until the unbind is completed
    NDIS_STATUS BindStatus;         // result of the set-up after the open
    NDIS_HANDLE RecvPacketPool;
    NDIS_HANDLE RecvBufferPool;
    NDIS_HANDLE SendPacketPool;
    NDIS_HANDLE SendBufferPool;     // allocated and freed with the binding; nothing draws from it
    volatile LONG PowerState;       // NDIS_DEVICE_POWER_STATE; writes and OID requests need D0
    UCHAR CurrentAddress[6];
    ULONG MacOptions;
    IrpQueue ConnectWaitQueue;
    IrpQueue DisconnectWaitQueue;
    IrpQueue MediaSpecificWaitQueue;
    IrpQueue ReadQueue;
    // Carries the close to PASSIVE_LEVEL when the last open reference is
    // dropped above it; CloseStarted lets only the first drop to 0 close. An
    // I/O work item on the control device, because its routine goes on after
    // it may have completed the unbind, and only the I/O manager keeps the
    // driver loaded until such a routine has returned.
    PIO_WORKITEM CloseWorkItem;
    volatile LONG CloseStarted;
} AdapterBinding;

// The control device's extension.
typedef struct _DeviceContext {
    NDIS_HANDLE ProtocolHandle;
    LIST_ENTRY BindingList;
    NDIS_SPIN_LOCK BindingListLock;  // guards BindingList and nothing else
} DeviceContext;

// The control device; its extension is the DeviceContext. Protocol handlers,
// which are given no device object, reach the driver-wide state through it.
extern PDEVICE_OBJECT ControlDeviceObject;

// The DeviceContext in ControlDeviceObject's extension.
DeviceContext *RelayGetDeviceContext(void);

// Pool tag of every allocation of the relay.
#define RELAY_POOL_TAG 'Zerl'

// Longest adapter name a binding can copy: its MaximumLength must also fit
// the terminating NUL in 16 bits.
#define RELAY_MAX_DEVICE_NAME_LENGTH 0xFFFC

// ProtocolReserved room of the binding's packets: a receive packet carries the
// pointer to the frame buffer it was assembled in, a send packet its private area.
#define RELAY_RECV_PACKET_RESERVED sizeof(PVOID)
#define RELAY_SEND_PACKET_RESERVED 8

void RelayInitDeviceContext(DeviceContext *Context);

NDIS_STATUS RelayAllocateBinding(AdapterBinding **Binding, PNDIS_STRING DeviceName,
                                 NDIS_HANDLE BindContext);
void RelayFreeBinding(AdapterBinding *Binding);
LONG RelayReferenceBinding(AdapterBinding *Binding);
LONG RelayDereferenceBinding(AdapterBinding *Binding);

void RelayInsertBinding(DeviceContext *Context, AdapterBinding *Binding);
void RelayRemoveBinding(DeviceContext *Context, AdapterBinding *Binding);
AdapterBinding *RelayLookupBinding(DeviceContext *Context, PNDIS_STRING Name);
