// The class key of a device setup class: opening or creating it, reading
// the settings below it, and storing the class's descriptor there.
#include "devsecurity/class_settings.h"
#include "devsecurity/registry.h"
#include "platform/ex.h"
#include "platform/ntstatus.h"
#include "platform/wcs.h"
#include "platform/zw.h"

#define CLASS_ROOT_PATH WIDE("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class")
#define CLASS_GUID_FORMAT WIDE("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}")
#define CLASS_GUID_CHARS 38
#define CLASS_GUID_BUFFER_CHARS 40

NTSTATUS OpenClassKey(LPCGUID ClassGuid, ACCESS_MASK DesiredAccess, BOOLEAN Create, PULONG Disposition,
                      PHANDLE ClassKey)
{
    HANDLE root;
    HANDLE key = NULL;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    WCHAR guidText[CLASS_GUID_BUFFER_CHARS];
    NTSTATUS status;

    *ClassKey = NULL;
    if (Disposition != NULL) {
        *Disposition = 0;
    }
    status = RegistryOpenKeySz(NULL, CLASS_ROOT_PATH, KEY_READ, &root);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    _snwprintf(guidText, CLASS_GUID_BUFFER_CHARS - 1, CLASS_GUID_FORMAT, ClassGuid->Data1, ClassGuid->Data2,
               ClassGuid->Data3, ClassGuid->Data4[0], ClassGuid->Data4[1], ClassGuid->Data4[2], ClassGuid->Data4[3],
               ClassGuid->Data4[4], ClassGuid->Data4[5], ClassGuid->Data4[6], ClassGuid->Data4[7]);
    guidText[CLASS_GUID_CHARS] = 0;
    if (Create) {
        status = RegistryCreateKeySz(root, guidText, DesiredAccess, REG_OPTION_NON_VOLATILE, NULL, &disposition, &key);
    } else {
        status = RegistryOpenKeySz(root, guidText, DesiredAccess, &key);
    }
    ZwClose(root);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *ClassKey = key;
    if (Disposition != NULL) {
        *Disposition = disposition;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReadClassCreationSettings(LPCGUID ClassGuid, PDRIVER_OBJECT DriverObject,
                                   ClassCreationSettings *Settings)
{
    HANDLE classKey;
    HANDLE propertiesKey;
    ULONG disposition;
    NTSTATUS status;

    InitClassCreationSettings(Settings);
    status = OpenClassKey(ClassGuid, KEY_ALL_ACCESS, TRUE, &disposition, &classKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (disposition != REG_OPENED_EXISTING_KEY) {
        // A new class: it is named after the driver's service, and has no settings yet.
        status = RegistrySetStringSz(classKey, WIDE("Class"), &DriverObject->DriverExtension->ServiceKeyName);
        ZwClose(classKey);
        return status;
    }
    status = RegistryOpenKeySz(classKey, WIDE("Properties"), KEY_READ, &propertiesKey);
    ZwClose(classKey);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ReadClassSettingsFromKey(propertiesKey, Settings);
    ZwClose(propertiesKey);
    return status;
}

NTSTATUS StoreClassSecurity(LPCGUID ClassGuid, ClassCreationSettings *Settings)
{
    HANDLE classKey;
    HANDLE propertiesKey;
    NTSTATUS status;

    status = OpenClassKey(ClassGuid, KEY_ALL_ACCESS, FALSE, NULL, &classKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ClassKeySecurityState == CLASS_KEY_SECURITY_UNCHECKED) {
        PSECURITY_DESCRIPTOR copy;
        if (NT_SUCCESS(SeCaptureSecurityDescriptor((PSECURITY_DESCRIPTOR)ClassKeySecurity, KernelMode, PagedPool,
                                                   TRUE, &copy))) {
            ExFreePoolWithTag(copy, 0);
            ClassKeySecurityState = CLASS_KEY_SECURITY_VALID;
        } else {
            ClassKeySecurityState = CLASS_KEY_SECURITY_INVALID;
        }
    }
    status = RegistryCreateKeySz(classKey, WIDE("Properties"), KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE,
                                 ClassKeySecurityState == CLASS_KEY_SECURITY_VALID
                                     ? (PSECURITY_DESCRIPTOR)ClassKeySecurity
                                     : NULL,
                                 NULL, &propertiesKey);
    ZwClose(classKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = RegistrySetValueSz(propertiesKey, WIDE("Security"), REG_BINARY, Settings->SecurityDescriptor,
                                RtlLengthSecurityDescriptor(Settings->SecurityDescriptor));
    ZwClose(propertiesKey);
    return status;
}
