#include "control/device_control.h"
#include "control/relay_ioctl.h"

NTSTATUS NTAPI RelayDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ULONG information = 0;
    NTSTATUS status;

    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_RELAY_OPEN_ADAPTER:
        status = RelayIoctlOpenAdapter(DeviceObject, Irp);
        break;
    case IOCTL_RELAY_QUERY_OID:
        status = RelayIoctlQueryOid(Irp, &information);
        break;
    case IOCTL_RELAY_SET_OID:
        status = RelayIoctlSetOid(Irp, &information);
        break;
    case IOCTL_RELAY_WAIT_STATUS:
        status = RelayIoctlWaitStatus(Irp);
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }

    // A queued wait belongs to its queue now; someone else completes it.
    if (status == STATUS_PENDING) {
        return status;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
