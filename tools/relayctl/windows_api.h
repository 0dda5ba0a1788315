// The Windows headers the client uses, with the NT status codes beside the
// Win32 ones (windows.h alone defines only a few of them).
#pragma once

#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>
