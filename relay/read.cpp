#include "relay/queue.h"
#include "relay/receive.h"

NTSTATUS NTAPI RelayDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    AdapterBinding *binding = (AdapterBinding *)InterlockedCompareExchangePointer(
        (PVOID volatile *)&stack->FileObject->FsContext, NULL, NULL);
    NTSTATUS status;

    if (binding == NULL) {
        status = STATUS_INVALID_HANDLE;
    } else if (InterlockedCompareExchange(&binding->Flags, 0, 0) != 0) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (stack->Parameters.Read.Length < RELAY_ETHERNET_HEADER_LENGTH) {
        status = STATUS_INVALID_BUFFER_SIZE;
    } else {
        status = RelayEnqueueRequest(&binding->ReadQueue, binding, Irp, RelayCancelRead);
        if (status == STATUS_PENDING) {
            return status;
        }
    }

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
