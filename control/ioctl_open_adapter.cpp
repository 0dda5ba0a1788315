#include "bindings/binding.h"
#include "control/device_control.h"

NTSTATUS RelayIoctlOpenAdapter(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext *context = (DeviceContext *)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT file = stack->FileObject;

    // The whole input is the name; a counted string holds at most 65535
    // bytes, so a longer input is looked up by its low 16 bits of length.
    NDIS_STRING name;
    name.Length = (USHORT)stack->Parameters.DeviceIoControl.InputBufferLength;
    name.MaximumLength = name.Length;
    name.Buffer = (PWSTR)Irp->AssociatedIrp.SystemBuffer;

    AdapterBinding *binding = RelayLookupBinding(context, &name);
    if (binding == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }

    // A file is attached once in its life, and a binding that takes no new
    // work is refused, the file staying free to attach again once the flags
    // clear. Both are decided before the file is touched: once the binding
    // is installed another request on the handle may rely on it, so an
    // installed binding is never taken back.
    if (InterlockedCompareExchangePointer((PVOID volatile *)&file->FsContext, NULL, NULL) != NULL) {
        RelayDereferenceBinding(binding);
        return STATUS_DEVICE_ALREADY_ATTACHED;
    }
    if (InterlockedCompareExchange(&binding->Flags, 0, 0) != 0) {
        RelayDereferenceBinding(binding);
        return STATUS_INVALID_DEVICE_STATE;
    }
    // Of two attaches racing on one file, the compare-and-swap lets exactly
    // one install its binding.
    if (InterlockedCompareExchangePointer((PVOID volatile *)&file->FsContext, binding, NULL) != NULL) {
        RelayDereferenceBinding(binding);
        return STATUS_DEVICE_ALREADY_ATTACHED;
    }

    // The lookup's reference now belongs to the file; close drops it.
    return STATUS_SUCCESS;
}
