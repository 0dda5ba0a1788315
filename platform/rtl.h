// Run-time library pieces: counted strings and memory helpers.
#pragma once

#include "platform/types.h"

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without any terminator
    USHORT MaximumLength; // bytes of Buffer
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

X86_LAYOUT_ASSERT(sizeof(UNICODE_STRING) == 8);

extern "C" {
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);
// Frees a string's buffer that the pool gave and clears the string.
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
}

// The kernel's headers define these as the compiler's memory primitives.
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
