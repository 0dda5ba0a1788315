// The driver-wide context in the control device's extension.
#include "bindings/binding.h"

PDEVICE_OBJECT ControlDeviceObject = NULL;

void RelayInitDeviceContext(DeviceContext *Context)
{
    Context->ProtocolHandle = NULL;
    InitializeListHead(&Context->BindingList);
    KeInitializeSpinLock(&Context->BindingListLock.SpinLock);
}

DeviceContext *RelayGetDeviceContext(void)
{
    return (DeviceContext *)ControlDeviceObject->DeviceExtension;
}
