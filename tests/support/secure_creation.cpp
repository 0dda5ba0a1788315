#include "tests/support/secure_creation.h"

#include <cstdio>

#include "devsecurity/class_settings.h"
#include "devsecurity/secure_create.h"
#include "sim/object_manager.h"
#include "sim/registry.h"

namespace rztest {

DriverObjectForTest::DriverObjectForTest(const std::u16string &serviceKeyName) : serviceKeyName_(serviceKeyName)
{
    object_.DriverExtension = &extension_;
    extension_.DriverObject = &object_;
    extension_.ServiceKeyName.Length = static_cast<USHORT>(serviceKeyName_.size() * sizeof(WCHAR));
    extension_.ServiceKeyName.MaximumLength = static_cast<USHORT>(extension_.ServiceKeyName.Length + sizeof(WCHAR));
    extension_.ServiceKeyName.Buffer = reinterpret_cast<PWSTR>(serviceKeyName_.data());
}

void StartSecureCreationLoad()
{
    RoutinesResolved = 0;
    ResolvedCreateRoutine = nullptr;
    ClassKeySecurityState = CLASS_KEY_SECURITY_UNCHECKED;
}

std::string ClassKeyPath(const GUID &guid)
{
    char text[48];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::string(sim::registry::kClassRoot) + "\\" + text;
}

sim::security::Descriptor DeviceSecurity(PDEVICE_OBJECT device)
{
    return sim::security::Parse(sim::ObjectSecurity(device)).value_or(sim::security::Descriptor{});
}

}  // namespace rztest
