// The protocol's status handlers: the adapter's reset start and end keep the
// binding's reset flag, its media indications answer the queued waits.
#pragma once

#include "platform/ndis.h"

VOID NTAPI RelayStatus(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS GeneralStatus,
                       PVOID StatusBuffer, UINT StatusBufferSize);
VOID NTAPI RelayStatusComplete(NDIS_HANDLE ProtocolBindingContext);
