// Binding to an adapter: the record, the open for 802.3, the adapter's
// configuration, and the end of the bind, reported to the stack exactly once.
#include "bindings/lifecycle.h"
#include "bindings/request.h"

static NDIS_MEDIUM RelayMediumArray[1] = {NdisMedium802_3};

VOID NTAPI RelayBindAdapter(PNDIS_STATUS Status, NDIS_HANDLE BindContext, PNDIS_STRING DeviceName,
                            PVOID SystemSpecific1, PVOID SystemSpecific2)
{
    DeviceContext *context = RelayGetDeviceContext();
    AdapterBinding *binding;
    NDIS_STATUS openStatus;
    NDIS_STATUS openErrorStatus = NDIS_STATUS_SUCCESS;

    *Status = RelayAllocateBinding(&binding, DeviceName, BindContext);
    if (*Status != NDIS_STATUS_SUCCESS) {
        return;
    }
    // Held until this handler has chosen what to return: a set-up that fails
    // inside it may otherwise free the record under it.
    RelayReferenceBinding(binding);

    NdisOpenAdapter(Status, &openErrorStatus, &binding->BindingHandle,
                    &binding->SelectedMediumIndex, RelayMediumArray, 1, context->ProtocolHandle,
                    binding, DeviceName, 0, NULL);
    openStatus = *Status;
    if (openStatus != NDIS_STATUS_PENDING) {
        RelayOpenAdapterComplete(binding, openStatus, openErrorStatus);
        // A set-up that failed after an open at once ends with a close, whose
        // completion may run on another processor while this handler is still
        // here. Whichever of the two claims the report tells the stack: this
        // handler by returning the failure, the completion through
        // NdisCompleteBindAdapter, in which case the handler reports pending.
        if (openStatus == NDIS_STATUS_SUCCESS && binding->BindStatus != NDIS_STATUS_SUCCESS) {
            if (InterlockedExchange(&binding->BindReportClaimed, 1) == 0) {
                *Status = binding->BindStatus;
            } else {
                *Status = NDIS_STATUS_PENDING;
            }
        }
    }
    RelayDereferenceBinding(binding);
}

VOID NTAPI RelayOpenAdapterComplete(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status,
                                    NDIS_STATUS OpenErrorStatus)
{
    AdapterBinding *binding = (AdapterBinding *)ProtocolBindingContext;
    NDIS_STATUS status;
    NDIS_STATUS ignored;
    UINT bytesProcessed;
    ULONG value;

    if (Status != NDIS_STATUS_SUCCESS) {
        RelayCompleteBind(binding, Status, OpenErrorStatus);
        return;
    }
    RelayReferenceOpen(binding);

    status = RelayDoRequest(binding->BindingHandle, NdisRequestQueryInformation,
                            OID_802_3_CURRENT_ADDRESS, binding->CurrentAddress,
                            sizeof(binding->CurrentAddress), &bytesProcessed);
    if (status == NDIS_STATUS_SUCCESS) {
        status = RelayDoRequest(binding->BindingHandle, NdisRequestQueryInformation,
                                OID_GEN_MAC_OPTIONS, &binding->MacOptions,
                                sizeof(binding->MacOptions), &bytesProcessed);
    }
    if (status == NDIS_STATUS_SUCCESS) {
        // Without loopback if the adapter can; a bind without it is still useful.
        value = NDIS_PROT_OPTION_NO_LOOPBACK;
        RelayDoRequest(binding->BindingHandle, NdisRequestSetInformation, OID_GEN_PROTOCOL_OPTIONS,
                       &value, sizeof(value), &bytesProcessed);
        value = NDIS_PACKET_TYPE_DIRECTED;
        status = RelayDoRequest(binding->BindingHandle, NdisRequestSetInformation,
                                OID_GEN_CURRENT_PACKET_FILTER, &value, sizeof(value),
                                &bytesProcessed);
    }
    binding->BindStatus = status;

    if (status == NDIS_STATUS_SUCCESS) {
        RelayCompleteBind(binding, NDIS_STATUS_SUCCESS, OpenErrorStatus);
        return;
    }
    // The set-up failure road: dropping the own open reference closes the
    // adapter, and the close completion ends the bind with BindStatus.
    RelayUnbindAdapter(&ignored, binding, NULL);
}

void RelayCompleteBind(AdapterBinding *Binding, NDIS_STATUS Status, NDIS_STATUS OpenErrorStatus)
{
    NDIS_HANDLE bindContext = InterlockedExchangePointer(&Binding->BindContext, NULL);
    BOOLEAN reports = InterlockedExchange(&Binding->BindReportClaimed, 1) == 0;

    // Listed before the stack learns that the bind is complete.
    if (Status == NDIS_STATUS_SUCCESS) {
        RelayInsertBinding(RelayGetDeviceContext(), Binding);
    }
    RelayDereferenceBinding(Binding);
    if (reports && bindContext != NULL) {
        NdisCompleteBindAdapter(bindContext, Status, OpenErrorStatus);
    }
}
