// A driver-shaped image that breaks the kernel's rule against code running
// before DriverEntry: the image check must refuse it.
#include "platform/ntstatus.h"
#include "platform/rtl.h"

namespace {

ULONG NameLength(PCWSTR Text)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Text);
    return name.Length;
}

// Initialised at run time, by a static constructor.
ULONG DefaultNameLength = NameLength(WIDE("constructed"));

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PVOID DriverObject, PUNICODE_STRING RegistryPath)
{
    return DefaultNameLength != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
