// MmGetSystemRoutineAddress, and the kernel's own IoCreateDeviceSecure that
// it finds on a Windows that exports one.
#include <cstring>
#include <optional>
#include <string>

#include "platform/io_device_object.h"
#include "platform/io_version.h"
#include "platform/mm_routine.h"
#include "platform/ob.h"
#include "platform/zw.h"
#include "sim/irql.h"
#include "sim/object_manager.h"
#include "sim/security.h"
#include "sim/security_log.h"
#include "sim/windows_version.h"

namespace {

// The text when every character is ASCII; nothing otherwise, so that no
// wide character is mistaken for the ASCII one in its low byte.
std::optional<std::string> Ascii(const std::u16string &wide)
{
    std::string text;
    for (char16_t c : wide) {
        if (c > 0x7F) {
            return std::nullopt;
        }
        text.push_back(static_cast<char>(c));
    }
    return text;
}

NTSTATUS CreateSecured(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                       ULONG characteristics, BOOLEAN exclusive, const std::u16string &sddl, PDEVICE_OBJECT *created)
{
    std::optional<std::string> text = Ascii(sddl);
    auto descriptor = text ? sim::security::FromSddl(*text) : std::nullopt;
    if (sddl.empty() || !descriptor) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, extensionSize, name, type, characteristics, exclusive, &device);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    auto parsed = sim::security::Parse(*descriptor);
    SECURITY_INFORMATION information = (parsed->owner ? OWNER_SECURITY_INFORMATION : 0) |
                                       (parsed->group ? GROUP_SECURITY_INFORMATION : 0) |
                                       (parsed->sacl ? SACL_SECURITY_INFORMATION : 0) | DACL_SECURITY_INFORMATION;
    std::vector<uint8_t> merged;
    sim::security::Merge(sim::ObjectSecurity(device), *descriptor, information, &merged);
    sim::SetObjectSecurity(device, std::move(merged));
    *created = device;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KernelIoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                                          PDEVICE_OBJECT *DeviceObject)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDeviceSecure");
    *DeviceObject = nullptr;
    sim::SecureCreationCall call{sim::ToU16(DefaultSDDLString), std::nullopt, STATUS_SUCCESS, nullptr};
    if (DeviceClassGuid != nullptr) {
        call.classGuid = *DeviceClassGuid;
    }
    call.status = CreateSecured(DriverObject, DeviceExtensionSize, DeviceName, DeviceType, DeviceCharacteristics,
                                Exclusive, call.sddl, &call.device);
    sim::LogSecureCreation(call);
    *DeviceObject = call.device;
    return call.status;
}

struct Export {
    const char *name;
    PVOID address;
};

// The routines of the sim's object manager, security runtime and registry
// that a driver may look up; IoCreateDeviceSecure only where it is exported.
const Export kExports[] = {
    {"IoCreateDevice", reinterpret_cast<PVOID>(&IoCreateDevice)},
    {"IoDeleteDevice", reinterpret_cast<PVOID>(&IoDeleteDevice)},
    {"IoIsWdmVersionAvailable", reinterpret_cast<PVOID>(&IoIsWdmVersionAvailable)},
    {"ObOpenObjectByPointer", reinterpret_cast<PVOID>(&ObOpenObjectByPointer)},
    {"ZwSetSecurityObject", reinterpret_cast<PVOID>(&ZwSetSecurityObject)},
    {"ZwClose", reinterpret_cast<PVOID>(&ZwClose)},
    {"ZwOpenKey", reinterpret_cast<PVOID>(&ZwOpenKey)},
    {"ZwCreateKey", reinterpret_cast<PVOID>(&ZwCreateKey)},
    {"ZwQueryValueKey", reinterpret_cast<PVOID>(&ZwQueryValueKey)},
    {"ZwSetValueKey", reinterpret_cast<PVOID>(&ZwSetValueKey)},
    {"SeCaptureSecurityDescriptor", reinterpret_cast<PVOID>(&SeCaptureSecurityDescriptor)},
    {"RtlLengthSecurityDescriptor", reinterpret_cast<PVOID>(&RtlLengthSecurityDescriptor)},
};

}  // namespace

extern "C" PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
    std::string name = Ascii(sim::ToU16(SystemRoutineName)).value_or("");
    if (name == "IoCreateDeviceSecure") {
        return sim::IoCreateDeviceSecureExported() ? reinterpret_cast<PVOID>(&KernelIoCreateDeviceSecure) : nullptr;
    }
    for (const Export &routine : kExports) {
        if (name == routine.name) {
            return routine.address;
        }
    }
    return nullptr;
}
