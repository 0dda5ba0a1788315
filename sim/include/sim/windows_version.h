// The version of Windows the sim plays, as a driver can tell it: the WDM
// version IoIsWdmVersionAvailable reports (which also decides how long the
// SeExports record is) and whether MmGetSystemRoutineAddress finds the
// kernel's IoCreateDeviceSecure. By default the sim is Windows XP (WDM
// 1.20) without that export.
#pragma once

#include <cstdint>

namespace sim {

void SetWdmVersion(uint8_t major, uint8_t minor);
void ExportIoCreateDeviceSecure(bool exported);
bool IoCreateDeviceSecureExported();
// Back to the default; part of ResetWorld.
void ResetWindowsVersion();

// Used inside the sim: reports a SID the driver took from a field of
// SeExports that this version's record does not have.
void CheckExportedSid(const void *sid, const char *caller);

}  // namespace sim
