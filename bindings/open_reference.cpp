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
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        RelayCloseAdapter(Binding);
        return count;
    }
    // A user that came and went while the close was queued takes the count
    // to 0 again; the close already on its way is the only one, and the work
    // item must not be queued a second time.
    if (InterlockedExchange(&Binding->CloseScheduled, 1) != 0) {
        return count;
    }
    // The record must outlive the queued close; the worker drops this reference.
    RelayReferenceBinding(Binding);
    NdisInitializeWorkItem(&Binding->CloseWorkItem, RelayCloseAdapterWorker, Binding);
    NdisScheduleWorkItem(&Binding->CloseWorkItem);
    return count;
}
