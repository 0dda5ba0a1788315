// What drivers asked of the sim's object manager about security since the
// world was last reset, oldest first: the kernel handles opened by pointer
// with the access each asked for, and the calls of the kernel's own
// IoCreateDeviceSecure, which MmGetSystemRoutineAddress finds where the sim
// plays a Windows that exports it (sim/windows_version.h). That routine
// converts the SDDL string with the platform's full grammar, creates the
// device and sets the security on it; it reads no class settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/guid.h"
#include "platform/io.h"

namespace sim {

struct OpenByPointer {
    const void *object;
    uint32_t desiredAccess;
};
std::vector<OpenByPointer> OpensByPointer();

struct SecureCreationCall {
    std::u16string sddl;
    std::optional<GUID> classGuid;
    NTSTATUS status;
    PDEVICE_OBJECT device;  // NULL when it failed
};
std::vector<SecureCreationCall> SecureCreationCalls();

// Used inside the sim.
void LogOpenByPointer(const OpenByPointer &open);
void LogSecureCreation(const SecureCreationCall &call);
// Part of ResetWorld.
void ResetSecurityLog();

}  // namespace sim
