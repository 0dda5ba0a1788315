// OpenRefCount: the users of the open adapter. Whoever takes it to 0 closes
// the adapter, once.
#include "bindings/lifecycle.h"

// The close waits for a request and calls NdisCloseAdapter, both of which
// need PASSIVE_LEVEL; a worker runs it when the last user left above that.
// The close may complete the unbind, after which the driver may unload while
// this routine still drops its reference: the I/O work item that runs it
// holds the control device, and with it the driver's code, until it returns.
static VOID NTAPI RelayCloseAdapterWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    AdapterBinding *binding = (AdapterBinding *)Context;

    RelayCloseAdapter(binding);
    RelayDereferenceBinding(binding);
}

LONG RelayReferenceOpen(AdapterBinding *Binding)
{
    return InterlockedIncrement(&Binding->OpenRefCount);
}

LONG RelayDereferenceOpen(AdapterBinding *Binding)
{
    LONG count = InterlockedDecrement(&Binding->OpenRefCount);

    if (count != 0) {
        return count;
    }
    // The adapter is opened once, so it is closed once, by the first drop to
    // 0. A user that comes and goes after that (it sees the flags and leaves)
    // takes the count to 0 again and must do nothing: the close is under way.
    if (InterlockedExchange(&Binding->CloseStarted, 1) != 0) {
        return count;
    }
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        RelayCloseAdapter(Binding);
        return count;
    }
    // The record must outlive the queued close; the worker drops this reference.
    RelayReferenceBinding(Binding);
    IoQueueWorkItem(Binding->CloseWorkItem, RelayCloseAdapterWorker, DelayedWorkQueue, Binding);
    return count;
}
