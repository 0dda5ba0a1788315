// I/O manager: symbolic links in the object manager's name space.
#pragma once

#include "platform/ntstatus.h"
#include "platform/rtl.h"

extern "C" {
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
}
