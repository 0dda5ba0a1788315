// Loading and unloading the driver, the control device's create and close,
// and the protocol's registration with NDIS.
#pragma once

#include "bindings/binding.h"
#include "platform/io.h"
#include "platform/ndis.h"

#define RELAY_DEVICE_NAME WIDE("\\Device\\rezezura")
#define RELAY_LINK_NAME WIDE("\\DosDevices\\rezezura")
#define RELAY_PROTOCOL_NAME WIDE("rezezura")

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI RelayDriverUnload(PDRIVER_OBJECT DriverObject);

NDIS_STATUS RelayRegisterProtocol(DeviceContext *Context);
NDIS_STATUS RelayDeregisterProtocol(NDIS_HANDLE ProtocolHandle);

NTSTATUS NTAPI RelayDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI RelayDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
