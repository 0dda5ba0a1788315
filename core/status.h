// Translation of NDIS results into the I/O manager's status codes.
#pragma once

#include "platform/ndis.h"
#include "platform/ntstatus.h"

// Stateless; callable at any IRQL.
NTSTATUS RelayNdisToNtStatus(NDIS_STATUS Status);
