// Unbinding from an adapter: no new work from the unbind on, the close once
// the last user of the open adapter has left, and the end of the unbind when
// the close completes.
#include "bindings/lifecycle.h"
#include "bindings/request.h"
#include "relay/queue.h"

VOID NTAPI RelayUnbindAdapter(PNDIS_STATUS Status, NDIS_HANDLE ProtocolBindingContext,
                              NDIS_HANDLE UnbindContext)
{
    AdapterBinding *binding = (AdapterBinding *)ProtocolBindingContext;

    // Once the own open reference is dropped, a user may close the adapter
    // elsewhere and the close's completion let the record go while this
    // handler still reads it: it holds the record until it returns.
    RelayReferenceBinding(binding);
    InterlockedOr(&binding->Flags, BINDING_UNBINDING);
    InterlockedExchangePointer(&binding->UnbindContext, UnbindContext);
    // Closes the adapter now unless a user still holds it open; that user's
    // drop closes it then. The unbind completes when the close does, which
    // may already have happened when this returns.
    RelayDereferenceOpen(binding);
    *Status = NDIS_STATUS_PENDING;
    RelayDereferenceBinding(binding);
}

void RelayCloseAdapter(AdapterBinding *Binding)
{
    NDIS_HANDLE handle = InterlockedExchangePointer(&Binding->BindingHandle, NULL);
    NDIS_STATUS status;
    ULONG filter = 0;
    UINT bytesProcessed;

    if (handle == NULL) {
        return;
    }
    // The adapter stops passing frames to this open before it goes; a failure
    // here does not stop the close. Below D0 it passes none, and NDIS would
    // hold the request until the adapter is back at D0, which the stack need
    // not wait for before it unbinds: the close goes on without it.
    if (InterlockedCompareExchange(&Binding->PowerState, 0, 0) == NdisDeviceStateD0) {
        RelayDoRequest(handle, NdisRequestSetInformation, OID_GEN_CURRENT_PACKET_FILTER, &filter,
                       sizeof(filter), &bytesProcessed);
    }
    NdisCloseAdapter(&status, handle);
    if (status != NDIS_STATUS_PENDING) {
        RelayCloseAdapterComplete(Binding, status);
    }
}

// The close's own status tells nothing the stack needs: an unbind ends with
// success whatever the close said, and a failed set-up with its own failure.
VOID NTAPI RelayCloseAdapterComplete(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status)
{
    AdapterBinding *binding = (AdapterBinding *)ProtocolBindingContext;

    if (InterlockedCompareExchangePointer(&binding->UnbindContext, NULL, NULL) != NULL) {
        RelayCompleteUnbind(binding);
        return;
    }
    // The set-up failure road: the bind ends here, with the set-up's failure.
    RelayCompleteBind(binding, binding->BindStatus, NDIS_STATUS_SUCCESS);
}

// The unbind is reported complete last: once the stack knows, it may
// deregister the protocol and unload the driver, deleting the control device
// whose extension holds the binding list.
void RelayCompleteUnbind(AdapterBinding *Binding)
{
    NDIS_HANDLE unbindContext = InterlockedExchangePointer(&Binding->UnbindContext, NULL);

    RelayFlushBindingRequests(Binding, STATUS_DEVICE_REMOVED);
    // May drop the last reference to the record.
    RelayRemoveBinding(RelayGetDeviceContext(), Binding);
    // The adapter is closed: the unbind has done all it can, and NDIS takes
    // no other status for it.
    NdisCompleteUnbindAdapter(unbindContext, NDIS_STATUS_SUCCESS);
}
