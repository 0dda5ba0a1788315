#include "devsecurity/pool_tags.h"
#include "devsecurity/registry.h"
#include "platform/ex.h"
#include "platform/ntstatus.h"

NTSTATUS InitCountedStringLimited(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == NULL) {
        Destination->Length = 0;
        Destination->MaximumLength = 0;
        Destination->Buffer = NULL;
        return STATUS_SUCCESS;
    }
    // Counting stops once the limit is passed: the rest of the name does not matter.
    ULONG count = 0;
    while (Source[count] != 0) {
        if (++count > REGISTRY_MAX_NAME_CHARS) {
            return STATUS_NAME_TOO_LONG;
        }
    }
    Destination->Length = (USHORT)(count * sizeof(WCHAR));
    Destination->MaximumLength = (USHORT)(Destination->Length + sizeof(WCHAR));
    Destination->Buffer = (PWSTR)Source;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryAllocateString(PUNICODE_STRING String, ULONG Length)
{
    // MaximumLength must hold the text and its NUL in 16 bits.
    if (Length > 0xFFFF - sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    String->Length = 0;
    String->MaximumLength = (USHORT)(Length + sizeof(WCHAR));
    String->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Length + sizeof(WCHAR), REGISTRY_STRING_TAG);
    return String->Buffer != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
