// One blocking OID query or set on an open adapter, whether the adapter
// answers at once or later through the request-completion handler.
#pragma once

#include "platform/ex.h"
#include "platform/ndis_protocol.h"

// One call's request; the completion handler finds the record from the
// embedded Request it is given.
typedef struct _AdapterRequest {
    NDIS_REQUEST Request;
    NDIS_EVENT Event;    // signalled when a pended request completes
    NDIS_STATUS Status;  // the pended request's final status
} AdapterRequest;

// Blocks until the adapter answers, so it runs at PASSIVE_LEVEL. The caller
// keeps BindingHandle valid for the whole call. BytesProcessed is written
// only on success.
NDIS_STATUS RelayDoRequest(NDIS_HANDLE BindingHandle, NDIS_REQUEST_TYPE RequestType, NDIS_OID Oid,
                           PVOID InformationBuffer, UINT InformationBufferLength,
                           PUINT BytesProcessed);

// RequestCompleteHandler.
VOID NTAPI RelayRequestComplete(NDIS_HANDLE ProtocolBindingContext, PNDIS_REQUEST NdisRequest,
                                NDIS_STATUS Status);
