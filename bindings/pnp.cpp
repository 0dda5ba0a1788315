// Plug-and-play events and the protocol's unload notice.
#include "bindings/lifecycle.h"

NDIS_STATUS NTAPI RelayPnPEvent(NDIS_HANDLE ProtocolBindingContext, PNET_PNP_EVENT NetPnPEvent)
{
    AdapterBinding *binding = (AdapterBinding *)ProtocolBindingContext;
    LONG event = (LONG)NetPnPEvent->NetEvent;

    if (event < NetEventSetPower || event > NetEventPnPCapabilities) {
        return NDIS_STATUS_NOT_SUPPORTED;
    }
    // Only the power state is kept; writes and OID requests need D0. An
    // event too short to hold the new state changes nothing.
    if (event == NetEventSetPower && binding != NULL) {
        if (NetPnPEvent->Buffer == NULL || NetPnPEvent->BufferLength < sizeof(ULONG)) {
            return NDIS_STATUS_INVALID_LENGTH;
        }
        InterlockedExchange(&binding->PowerState, *(LONG *)NetPnPEvent->Buffer);
    }
    return NDIS_STATUS_SUCCESS;
}

VOID NTAPI RelayProtocolUnload(VOID)
{
    DeviceContext *context = RelayGetDeviceContext();
    PLIST_ENTRY entry;

    context->BindingListLock.OldIrql = KfAcquireSpinLock(&context->BindingListLock.SpinLock);
    for (entry = context->BindingList.Flink; entry != &context->BindingList; entry = entry->Flink) {
        AdapterBinding *binding = CONTAINING_RECORD(entry, AdapterBinding, Link);
        InterlockedOr(&binding->Flags, BINDING_UNLOADING);
    }
    KfReleaseSpinLock(&context->BindingListLock.SpinLock, context->BindingListLock.OldIrql);
}
