#include "core/driver.h"

NTSTATUS NTAPI RelayDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // A new handle is attached to nothing until the client names an adapter.
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RelayDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    // Cleanup has already completed the file's pending requests; the
    // attachment's reference is dropped exactly once, here.
    AdapterBinding *binding = (AdapterBinding *)InterlockedExchangePointer(&file->FsContext, NULL);
    if (binding != NULL) {
        RelayDereferenceBinding(binding);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
