#include "devsecurity/device_security.h"
#include "platform/ntstatus.h"
#include "platform/ob.h"

NTSTATUS GetSecurityInformation(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN Defaulted,
                                PSECURITY_INFORMATION Information)
{
    PSID sid;
    PACL acl;
    BOOLEAN present;
    // One mark for all four queries: an absent ACL leaves it as the query before set it.
    BOOLEAN defaulted = FALSE;
    SECURITY_INFORMATION information = 0;

    *Defaulted = FALSE;
    *Information = 0;
    NTSTATUS status = RtlGetOwnerSecurityDescriptor(SecurityDescriptor, &sid, &defaulted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (sid != NULL) {
        information |= OWNER_SECURITY_INFORMATION;
    }
    status = RtlGetGroupSecurityDescriptor(SecurityDescriptor, &sid, &defaulted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (sid != NULL) {
        information |= GROUP_SECURITY_INFORMATION;
    }
    status = RtlGetSaclSecurityDescriptor(SecurityDescriptor, &present, &acl, &defaulted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (present) {
        information |= SACL_SECURITY_INFORMATION;
    }
    status = RtlGetDaclSecurityDescriptor(SecurityDescriptor, &present, &acl, &defaulted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (present) {
        information |= DACL_SECURITY_INFORMATION;
    }
    *Defaulted = defaulted;
    *Information = information;
    return STATUS_SUCCESS;
}

VOID AccessForSecurityInformation(SECURITY_INFORMATION Information, PACCESS_MASK Access)
{
    ACCESS_MASK access = 0;
    if (Information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) {
        access |= WRITE_OWNER;
    }
    if (Information & DACL_SECURITY_INFORMATION) {
        access |= WRITE_DAC;
    }
    if (Information & SACL_SECURITY_INFORMATION) {
        access |= ACCESS_SYSTEM_SECURITY;
    }
    *Access = access;
}

NTSTATUS ApplyDeviceSecurity(PDEVICE_OBJECT DeviceObject, const ClassCreationSettings *Settings)
{
    BOOLEAN defaulted;
    SECURITY_INFORMATION information;
    ACCESS_MASK access;
    HANDLE handle;

    NTSTATUS status = GetSecurityInformation(Settings->SecurityDescriptor, &defaulted, &information);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    AccessForSecurityInformation(information, &access);
    status = ObOpenObjectByPointer(DeviceObject, OBJ_KERNEL_HANDLE, NULL, access, IoDeviceObjectType, KernelMode,
                                   &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwSetSecurityObject(handle, information, Settings->SecurityDescriptor);
    ZwClose(handle);
    return status;
}
