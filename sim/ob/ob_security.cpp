// ObOpenObjectByPointer and ZwSetSecurityObject over device objects: kernel
// handles to a device with the access they were granted, and the security
// the device keeps (sim::ObjectSecurity), set only through a handle granted
// the rights each part needs.
#include <vector>

#include "platform/ob.h"
#include "sim/device_objects.h"
#include "sim/faults.h"
#include "sim/handles.h"
#include "sim/irql.h"
#include "sim/object_manager.h"
#include "sim/security.h"
#include "sim/security_log.h"
#include "sim/tokens.h"
#include "sim/verifier.h"

// Only its address matters: callers compare object types by pointer.
struct _OBJECT_TYPE {
    const char *Name;
};

namespace {

_OBJECT_TYPE g_deviceObjectType{"Device"};

// The handle attributes Windows XP knows.
constexpr ULONG kValidHandleAttributes = 0x000007F2;

// The rights a handle needs to set each part of an object's security.
ACCESS_MASK SetSecurityAccess(SECURITY_INFORMATION information)
{
    ACCESS_MASK access = 0;
    if (information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) {
        access |= WRITE_OWNER;
    }
    if (information & DACL_SECURITY_INFORMATION) {
        access |= WRITE_DAC;
    }
    if (information & SACL_SECURITY_INFORMATION) {
        access |= ACCESS_SYSTEM_SECURITY;
    }
    return access;
}

}  // namespace

extern "C" {

POBJECT_TYPE IoDeviceObjectType = &g_deviceObjectType;

NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                     ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                     KPROCESSOR_MODE AccessMode, PHANDLE Handle)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ObOpenObjectByPointer");
    *Handle = nullptr;
    auto device = static_cast<PDEVICE_OBJECT>(Object);
    if (!sim::IsLiveDeviceObject(device)) {
        sim::Violation("object.unknown", "ObOpenObjectByPointer", "not a live device object");
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType != nullptr && ObjectType != IoDeviceObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if ((HandleAttributes & ~kValidHandleAttributes) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // A user-mode open is checked against the caller's token; the sim opens
    // by pointer only for kernel-mode callers, who get what they ask for.
    if (AccessMode != KernelMode || PassedAccessState != nullptr) {
        sim::Violation("object.open-mode", "ObOpenObjectByPointer",
                       "the sim opens objects by pointer for kernel-mode callers without an access state");
        return STATUS_INVALID_PARAMETER;
    }
    if (sim::ShouldFail("ObOpenObjectByPointer")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    sim::LogOpenByPointer(sim::OpenByPointer{device, DesiredAccess});
    // Granted as asked, generic rights mapped as for files; the most allowed
    // is all a file may be granted.
    ACCESS_MASK granted = sim::MapFileGenericAccess(DesiredAccess & ~MAXIMUM_ALLOWED);
    if (DesiredAccess & MAXIMUM_ALLOWED) {
        granted |= sim::kFileAllAccess;
    }
    *Handle = sim::InsertHandle(sim::HandleEntry{sim::HandleKind::Device, device, granted,
                                                 (HandleAttributes & OBJ_KERNEL_HANDLE) != 0, "a device object"});
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetSecurityObject");
    std::optional<sim::HandleEntry> entry = sim::LookupHandle(Handle);
    if (!entry) {
        return STATUS_INVALID_HANDLE;
    }
    if (entry->kind != sim::HandleKind::Device) {
        // The sim keeps the security of device objects only.
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if ((entry->grantedAccess & SetSecurityAccess(SecurityInformation)) != SetSecurityAccess(SecurityInformation)) {
        return STATUS_ACCESS_DENIED;
    }
    if (SecurityDescriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (sim::ShouldFail("ZwSetSecurityObject")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::vector<uint8_t> update;
    NTSTATUS status = sim::security::Capture(SecurityDescriptor, sim::security::ReadableBytes(SecurityDescriptor),
                                             "ZwSetSecurityObject", &update);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    std::vector<uint8_t> merged;
    status = sim::security::Merge(sim::ObjectSecurity(entry->object), update, SecurityInformation, &merged);
    if (status == STATUS_SUCCESS) {
        sim::SetObjectSecurity(entry->object, std::move(merged));
    }
    return status;
}

}  // extern "C"
