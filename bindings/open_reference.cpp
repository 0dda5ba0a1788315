// OpenRefCount: the users of the open adapter. Whoever takes it to 0 closes
// the adapter, once.
#include "bindings/lifecycle.h"

// The close waits for a request and calls NdisCloseAdapter, both of which
// need PASSIVE_LEVEL; a worker runs it when the last user left above that.
static VOID NTAPI RelayCloseAdapterWorker(PNDIS_WORK_ITEM WorkItem, PVOID Context)
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
    // takes the count to 0 again and must do nothing: a work item queued then
    // could still be waiting to run after the unbind completed and the driver
    // was unloaded.
    if (InterlockedExchange(&Binding->CloseStarted, 1) != 0) {
        return count;
    }
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        RelayCloseAdapter(Binding);
        return count;
    }
    // The record must outlive the queued close; the worker drops this reference.
    RelayReferenceBinding(Binding);
    NdisInitializeWorkItem(&Binding->CloseWorkItem, RelayCloseAdapterWorker, Binding);
    NdisScheduleWorkItem(&Binding->CloseWorkItem);
    return count;
}
