// Basic types of the 32-bit x86 Windows kernel, pinned so that the same
// declarations serve the Windows build and the host build over the sim.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define RZ_WINDOWS_TARGET 1
#else
#define RZ_WINDOWS_TARGET 0
#endif

// Calling conventions are part of the platform's declarations on x86;
// elsewhere the compiler has only one and the attributes would be ignored.
#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#else
#define NTAPI
#define FASTCALL
#endif

#define IN
#define OUT
#define OPTIONAL

typedef void VOID;
typedef void *PVOID;
typedef char CHAR, *PCHAR;
typedef signed char CCHAR;
typedef unsigned char UCHAR, *PUCHAR;
typedef short SHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int INT;
typedef unsigned int UINT, *PUINT;
typedef unsigned char BOOLEAN, *PBOOLEAN;

#if RZ_WINDOWS_TARGET
typedef long LONG;
typedef unsigned long ULONG;
typedef wchar_t WCHAR;
// Wide literals of the platform's 16-bit character type.
#define WIDE(s) L##s
#else
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef char16_t WCHAR;
#define WIDE(s) u##s
#endif

typedef LONG *PLONG;
typedef ULONG *PULONG;
typedef WCHAR *PWSTR, *PWCHAR;
typedef const WCHAR *PCWSTR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef LONG NTSTATUS;
typedef void *HANDLE, **PHANDLE;
typedef ULONG ACCESS_MASK;

#define TRUE 1
#define FALSE 0

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))

// Holds only for the 32-bit target: sizes and offsets the x86 ABI fixes.
#if defined(__i386__)
#define X86_LAYOUT_ASSERT(expr) static_assert(expr, #expr)
#else
#define X86_LAYOUT_ASSERT(expr) static_assert(true, "")
#endif

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32 bits");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
X86_LAYOUT_ASSERT(sizeof(PVOID) == 4);
