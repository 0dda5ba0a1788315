// The object manager's name space: named device objects and the symbolic
// links that point at names. Names compare without regard to case, as the
// object manager compares them; "\DosDevices" and "\??" name one directory.
//
// Verifier rule: names.left-behind is reported through sim::Leaks() for a
// device name or symbolic link still present at the end of a test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/io.h"

namespace sim {

std::u16string ToU16(PCUNICODE_STRING name);

// For IoCreateDevice and IoDeleteDevice: STATUS_OBJECT_NAME_COLLISION when taken.
NTSTATUS InsertDeviceName(const std::u16string &name, PDEVICE_OBJECT device);
void RemoveDeviceName(PDEVICE_OBJECT device);
PDEVICE_OBJECT FindDeviceByName(const std::u16string &name);

// The security an object keeps, as a self-relative descriptor: what
// ZwSetSecurityObject stores and what opening the object is checked against.
// Empty when nothing was set.
void SetObjectSecurity(const void *object, std::vector<uint8_t> selfRelativeDescriptor);
std::vector<uint8_t> ObjectSecurity(const void *object);
void ForgetObjectSecurity(const void *object);

struct ResolvedName {
    PDEVICE_OBJECT device;
    std::u16string remainder;  // what follows the device's name, case folded, e.g. u"\\BELOW"
};

// Follows symbolic links (at most a few levels) to a device and what lies
// below it; nothing when no device answers to the name.
std::optional<ResolvedName> ResolveName(const std::u16string &name);

// Everything in the name space, for the leak report.
std::vector<std::string> NameSpaceLeftovers();
void ResetNameSpace();

}  // namespace sim
