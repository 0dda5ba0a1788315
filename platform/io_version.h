// I/O manager: what a driver asks of it about the running version of WDM.
#pragma once

#include "platform/types.h"

extern "C" {

// TRUE when the running system supports at least this WDM version
// (Windows 2000: 1.10, Windows XP: 1.20).
BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);

}  // extern "C"
