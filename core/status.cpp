#include "core/status.h"

// NDIS codes with an I/O status of their own; every value NDIS already
// defines as the NTSTATUS of the same number passes through unchanged.
NTSTATUS RelayNdisToNtStatus(NDIS_STATUS Status)
{
    switch (Status) {
    case NDIS_STATUS_SUCCESS:
    case NDIS_STATUS_PENDING:
    case NDIS_STATUS_BUFFER_OVERFLOW:
    case NDIS_STATUS_FAILURE:
    case NDIS_STATUS_INVALID_DEVICE_REQUEST:
    case NDIS_STATUS_RESOURCES:
    case NDIS_STATUS_NOT_SUPPORTED:
    case NDIS_STATUS_NETWORK_UNREACHABLE:
        return (NTSTATUS)Status;
    case NDIS_STATUS_ADAPTER_NOT_FOUND:
        return STATUS_NO_MORE_ENTRIES;
    case NDIS_STATUS_ADAPTER_NOT_READY:
        return STATUS_DEVICE_NOT_READY;
    case NDIS_STATUS_INVALID_LENGTH:
        return STATUS_INVALID_BUFFER_SIZE;
    case NDIS_STATUS_INVALID_DATA:
        return STATUS_INVALID_PARAMETER;
    case NDIS_STATUS_BUFFER_TOO_SHORT:
        return STATUS_BUFFER_TOO_SMALL;
    case NDIS_STATUS_INVALID_OID:
        return STATUS_NOT_SUPPORTED;
    case NDIS_STATUS_NO_CABLE:
        return STATUS_DEVICE_NOT_CONNECTED;
    default:
        // Every other code lands in the NDIS facility of NTSTATUS: a plain OR,
        // whatever facility or severity the value had.
        return (NTSTATUS)((ULONG)Status | 0x00230000UL);
    }
}
