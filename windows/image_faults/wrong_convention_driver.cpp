// A planted fault for the x86 build's image suites: the unload routine is
// written with the C convention, so it leaves its 4 argument bytes on the
// stack that the I/O manager's stdcall call expects it to pop.
#include "platform/io.h"

namespace {

void CdeclUnload(PDRIVER_OBJECT DriverObject)
{
    DriverObject->DriverExtension->AddDevice = nullptr;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DriverObject->DriverUnload = reinterpret_cast<PDRIVER_UNLOAD>(reinterpret_cast<void *>(&CdeclUnload));
    return STATUS_SUCCESS;
}
