// Memory manager: the address of a kernel or HAL export, looked up by name
// at run time, for routines that only some versions of Windows export.
#pragma once

#include "platform/rtl.h"

extern "C" {

// NULL when the running system does not export the routine.
PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

}  // extern "C"
