// A planted fault for the x86 build's image suites: an import the kernel has
// but the sim does not export, which the sim's loader must refuse by name.
#include "platform/io.h"

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR Parameter1, ULONG_PTR Parameter2,
                                   ULONG_PTR Parameter3, ULONG_PTR Parameter4);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    if (RegistryPath == nullptr) {
        KeBugCheckEx(0xE2, 0, 0, 0, 0);
    }
    return STATUS_SUCCESS;
}
