#include "bindings/binding.h"
#include "bindings/lifecycle.h"
#include "bindings/request.h"
#include "control/device_control.h"
#include "core/status.h"

// The OID in bytes 0-3 of the input; read bytewise, the system buffer's
// alignment is the I/O manager's business.
static NDIS_OID RelayIoctlOid(PIRP Irp)
{
    NDIS_OID oid;
    RtlCopyMemory(&oid, Irp->AssociatedIrp.SystemBuffer, sizeof oid);
    return oid;
}

// What query and set share: the attachment, an open reference held for the
// whole use of BindingHandle, and the tests of power, flags and length in
// that order. The open reference comes before the flags test: an unbind sets
// its flag before it drops the binding's own open reference, so either this
// request sees the flag or the adapter stays open until it is done.
static NTSTATUS RelayIoctlOidRequest(PIRP Irp, NDIS_REQUEST_TYPE RequestType, PULONG Information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;

    AdapterBinding *binding = (AdapterBinding *)InterlockedCompareExchangePointer(
        (PVOID volatile *)&stack->FileObject->FsContext, NULL, NULL);
    if (binding == NULL) {
        return STATUS_INVALID_HANDLE;
    }

    RelayReferenceOpen(binding);
    NTSTATUS status;
    if (InterlockedCompareExchange(&binding->PowerState, 0, 0) != NdisDeviceStateD0) {
        status = STATUS_DEVICE_POWER_FAILURE;
    } else if (InterlockedCompareExchange(&binding->Flags, 0, 0) != 0) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (inputLength < sizeof(NDIS_OID)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        // Beyond the input the system buffer holds whatever the pool held,
        // and what goes back is the adapter's count of bytes: cleared first,
        // an adapter that overstates it hands back zeros, not pool memory.
        if (outputLength > inputLength) {
            RtlZeroMemory(buffer + inputLength, outputLength - inputLength);
        }
        // A query's answer overwrites the OID in place, in as many bytes as
        // the caller offered for output; a set's value follows the OID.
        UINT bytesDone = 0;
        NDIS_STATUS ndisStatus;
        if (RequestType == NdisRequestQueryInformation) {
            ndisStatus = RelayDoRequest(binding->BindingHandle, RequestType, RelayIoctlOid(Irp), buffer,
                                        outputLength, &bytesDone);
        } else {
            ndisStatus = RelayDoRequest(binding->BindingHandle, RequestType, RelayIoctlOid(Irp),
                                        buffer + sizeof(NDIS_OID), inputLength - sizeof(NDIS_OID),
                                        &bytesDone);
        }
        status = RelayNdisToNtStatus(ndisStatus);
        // The I/O manager returns Information bytes of the system buffer to
        // the caller's output buffer. A set reports what the adapter read,
        // which has nothing to do with the output offered, and an adapter
        // may overstate what it wrote: never report more than the output.
        *Information = bytesDone < outputLength ? bytesDone : outputLength;
    }
    RelayDereferenceOpen(binding);
    return status;
}

NTSTATUS RelayIoctlQueryOid(PIRP Irp, PULONG Information)
{
    return RelayIoctlOidRequest(Irp, NdisRequestQueryInformation, Information);
}

NTSTATUS RelayIoctlSetOid(PIRP Irp, PULONG Information)
{
    return RelayIoctlOidRequest(Irp, NdisRequestSetInformation, Information);
}
