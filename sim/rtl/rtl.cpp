#include <cstring>

#include "platform/rtl.h"

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t count = 0;
    while (SourceString[count] != 0) {
        ++count;
    }
    // The kernel caps the counted form at what 16 bits can hold.
    if (count * sizeof(WCHAR) > 0xFFFC) {
        count = 0xFFFC / sizeof(WCHAR);
    }
    DestinationString->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    const UCHAR *a = static_cast<const UCHAR *>(Source1);
    const UCHAR *b = static_cast<const UCHAR *>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) {
        ++same;
    }
    return same;
}

}  // extern "C"
