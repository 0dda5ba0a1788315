// Wide-character string routines of the C run-time that the kernel exports
// (with the C calling convention, the default).
#pragma once

#include "platform/types.h"

extern "C" {

// Compares at most Count characters, ignoring the case of letters; stops at a NUL.
int _wcsnicmp(const WCHAR *String1, const WCHAR *String2, size_t Count);
// Formats into at most Count characters. Returns the characters written
// without the terminator, or -1 when the text was cut, in which case no
// terminator is written.
int _snwprintf(WCHAR *Buffer, size_t Count, const WCHAR *Format, ...);

}  // extern "C"
