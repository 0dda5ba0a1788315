#include "bindings/request.h"

#include "bindings/binding.h"

NDIS_STATUS RelayDoRequest(NDIS_HANDLE BindingHandle, NDIS_REQUEST_TYPE RequestType, NDIS_OID Oid,
                           PVOID InformationBuffer, UINT InformationBufferLength,
                           PUINT BytesProcessed)
{
    AdapterRequest *request;
    NDIS_STATUS status;

    request = (AdapterRequest *)ExAllocatePoolWithTag(NonPagedPool, sizeof(AdapterRequest),
                                                       RELAY_POOL_TAG);
    if (request == NULL) {
        return NDIS_STATUS_RESOURCES;
    }
    request->Status = NDIS_STATUS_SUCCESS;
    NdisInitializeEvent(&request->Event);

    request->Request.RequestType = RequestType;
    // The set's members share these places.
    request->Request.DATA.QUERY_INFORMATION.Oid = Oid;
    request->Request.DATA.QUERY_INFORMATION.InformationBuffer = InformationBuffer;
    request->Request.DATA.QUERY_INFORMATION.InformationBufferLength = InformationBufferLength;

    NdisRequest(&status, BindingHandle, &request->Request);
    if (status == NDIS_STATUS_PENDING) {
        NdisWaitEvent(&request->Event, 0);
        status = request->Status;
        // A completion must carry the final status. One that says pending
        // again leaves the request without an outcome; taken as it stands, a
        // query or set from a client would return pending with nothing to
        // complete it later.
        if (status == NDIS_STATUS_PENDING) {
            status = NDIS_STATUS_FAILURE;
        }
    }
    if (status == NDIS_STATUS_SUCCESS) {
        *BytesProcessed = request->Request.DATA.QUERY_INFORMATION.BytesWritten;
    }
    ExFreePoolWithTag(request, RELAY_POOL_TAG);
    return status;
}

VOID NTAPI RelayRequestComplete(NDIS_HANDLE ProtocolBindingContext, PNDIS_REQUEST NdisRequest,
                                NDIS_STATUS Status)
{
    AdapterRequest *request;

    // Only the two types RelayDoRequest issues are ours to answer.
    if ((ULONG)NdisRequest->RequestType > (ULONG)NdisRequestSetInformation) {
        return;
    }
    request = CONTAINING_RECORD(NdisRequest, AdapterRequest, Request);
    request->Status = Status;
    NdisSetEvent(&request->Event);
}
