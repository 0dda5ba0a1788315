// Load and unload: the secured control device and its link, the protocol's
// registration, and the dispatch table.
#include "control/device_control.h"
#include "core/driver.h"
#include "core/status.h"
#include "devsecurity/sddl.h"
#include "devsecurity/secure_create.h"
#include "platform/io_device_object.h"
#include "platform/io_names.h"
#include "relay/queue.h"
#include "relay/receive.h"
#include "relay/send.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    NTSTATUS status;

    RtlInitUnicodeString(&deviceName, RELAY_DEVICE_NAME);
    status = SecureCreateDevice(DriverObject, sizeof(DeviceContext), &deviceName, FILE_DEVICE_NETWORK,
                                FILE_DEVICE_SECURE_OPEN, FALSE, &SddlSystemAllAdminsAll, NULL,
                                &ControlDeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    RtlInitUnicodeString(&linkName, RELAY_LINK_NAME);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (NT_SUCCESS(status)) {
        DeviceContext *context = (DeviceContext *)ControlDeviceObject->DeviceExtension;
        RelayInitDeviceContext(context);

        // Binds may arrive from here on, before the dispatch table is in
        // place; they need only the context.
        status = RelayNdisToNtStatus(RelayRegisterProtocol(context));
        if (NT_SUCCESS(status)) {
            ControlDeviceObject->Flags |= DO_DIRECT_IO;
            DriverObject->MajorFunction[IRP_MJ_CREATE] = RelayDispatchCreate;
            DriverObject->MajorFunction[IRP_MJ_CLOSE] = RelayDispatchClose;
            DriverObject->MajorFunction[IRP_MJ_READ] = RelayDispatchRead;
            DriverObject->MajorFunction[IRP_MJ_WRITE] = RelayDispatchWrite;
            DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RelayDispatchDeviceControl;
            DriverObject->MajorFunction[IRP_MJ_CLEANUP] = RelayDispatchCleanup;
            DriverObject->DriverUnload = RelayDriverUnload;
            return status;
        }
        IoDeleteSymbolicLink(&linkName);
    }
    IoDeleteDevice(ControlDeviceObject);
    ControlDeviceObject = NULL;
    return status;
}

VOID NTAPI RelayDriverUnload(PDRIVER_OBJECT DriverObject)
{
    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    DeviceContext *context = (DeviceContext *)device->DeviceExtension;
    UNICODE_STRING linkName;

    // Bindings are gone by now: NDIS unbinds them before it lets the driver unload.
    RelayDeregisterProtocol(context->ProtocolHandle);
    RtlInitUnicodeString(&linkName, RELAY_LINK_NAME);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(device);
    ControlDeviceObject = NULL;
}
