// The smallest image shaped like rezezura.sys: its own DriverEntry and one
// import from each of ntoskrnl.exe, hal.dll and ndis.sys. It proves the link
// recipe and the image check before the driver has an entry of its own.
#include "platform/ke.h"
#include "platform/ndis.h"
#include "platform/ntstatus.h"
#include "platform/rtl.h"

extern "C" NTSTATUS NTAPI DriverEntry(PVOID DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, WIDE("minimal"));
    NDIS_EVENT event;
    NdisInitializeEvent(&event);
    return KeGetCurrentIrql() == PASSIVE_LEVEL ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
