#include "core/status.h"
#include "relay/receive.h"
#include "relay/send.h"

NTSTATUS NTAPI RelayDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    AdapterBinding *binding = (AdapterBinding *)InterlockedCompareExchangePointer(
        (PVOID volatile *)&stack->FileObject->FsContext, NULL, NULL);
    NTSTATUS status;

    if (binding == NULL) {
        status = STATUS_INVALID_HANDLE;
    } else if (InterlockedCompareExchange(&binding->PowerState, 0, 0) != NdisDeviceStateD0) {
        status = STATUS_DEVICE_POWER_FAILURE;
    } else if (InterlockedCompareExchange(&binding->Flags, 0, 0) != 0) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (Irp->MdlAddress == NULL ||
               MmGetMdlByteCount(Irp->MdlAddress) < RELAY_ETHERNET_HEADER_LENGTH) {
        // A zero-length write comes without an MDL. The frame's length is
        // the MDL's, which is what the adapter will send.
        status = STATUS_INVALID_PARAMETER;
    } else {
        NDIS_STATUS sent = RelaySendFrame(binding, Irp);
        if (sent == NDIS_STATUS_PENDING) {
            return STATUS_PENDING;
        }
        status = sent == (NDIS_STATUS)STATUS_INVALID_DEVICE_STATE ? STATUS_INVALID_DEVICE_STATE
                                                                  : RelayNdisToNtStatus(sent);
    }

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
