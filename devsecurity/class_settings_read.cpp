// Reading a class's "Properties" key into creation settings.
#include "devsecurity/class_settings.h"
#include "devsecurity/device_security.h"
#include "devsecurity/registry.h"
#include "platform/ex.h"
#include "platform/ntstatus.h"
#include "platform/zw.h"

// Registry data is not trusted: the descriptor must be self-relative (its
// parts found by offset, not by pointer), and every part must start after
// the header on a four-byte boundary and end inside the value, so that
// capturing it reads nothing beyond the value's buffer.
static BOOLEAN ClassSecurityPartFits(ULONG Offset, ULONG Length)
{
    return Offset >= sizeof(SECURITY_DESCRIPTOR_RELATIVE) && (Offset & 3) == 0 && Offset < Length;
}

static BOOLEAN ClassSecurityFitsValue(const UCHAR *Data, ULONG Length)
{
    const SECURITY_DESCRIPTOR_RELATIVE *descriptor = (const SECURITY_DESCRIPTOR_RELATIVE *)Data;
    if (Length < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || !(descriptor->Control & SE_SELF_RELATIVE)) {
        return FALSE;
    }
    const ULONG sids[2] = {descriptor->Owner, descriptor->Group};
    for (int i = 0; i < 2; ++i) {
        if (sids[i] == 0) {
            continue;
        }
        if (!ClassSecurityPartFits(sids[i], Length) || Length - sids[i] < FIELD_OFFSET(SID, SubAuthority)) {
            return FALSE;
        }
        const SID *sid = (const SID *)(Data + sids[i]);
        if (Length - sids[i] < FIELD_OFFSET(SID, SubAuthority) + sizeof(ULONG) * sid->SubAuthorityCount) {
            return FALSE;
        }
    }
    const ULONG acls[2] = {descriptor->Sacl, descriptor->Dacl};
    for (int i = 0; i < 2; ++i) {
        if (acls[i] == 0) {
            continue;
        }
        if (!ClassSecurityPartFits(acls[i], Length) || Length - acls[i] < sizeof(ACL) ||
            Length - acls[i] < ((const ACL *)(Data + acls[i]))->AclSize) {
            return FALSE;
        }
    }
    return TRUE;
}

// The class's own descriptor, captured: a private, validated copy in pool.
// None when the class has no "Security".
static NTSTATUS ReadClassSecurity(HANDLE PropertiesKey, PSECURITY_DESCRIPTOR *Captured)
{
    PKEY_VALUE_FULL_INFORMATION value;
    *Captured = NULL;
    NTSTATUS status = RegistryQueryValueSz(PropertiesKey, WIDE("Security"), REG_BINARY, 0, &value);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const UCHAR *data = (const UCHAR *)value + value->DataOffset;
    if (ClassSecurityFitsValue(data, value->DataLength)) {
        status = SeCaptureSecurityDescriptor((PSECURITY_DESCRIPTOR)data, KernelMode, PagedPool, TRUE, Captured);
    } else {
        status = STATUS_INVALID_SECURITY_DESCR;
    }
    ExFreePoolWithTag(value, 0);
    return status;
}

// One optional DWORD: read, it sets its bit; missing, it is no error.
static NTSTATUS ReadClassDword(HANDLE PropertiesKey, PCWSTR Name, PULONG Field, ULONG Bit,
                               ClassCreationSettings *Settings)
{
    NTSTATUS status = RegistryQueryDwordSz(PropertiesKey, Name, 0, Field);
    if (NT_SUCCESS(status)) {
        Settings->SettingsFlags |= Bit;
    }
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
}

NTSTATUS ReadClassSettingsFromKey(HANDLE PropertiesKey, ClassCreationSettings *Settings)
{
    PSECURITY_DESCRIPTOR captured;
    BOOLEAN defaulted;
    SECURITY_INFORMATION information;

    InitClassCreationSettings(Settings);
    NTSTATUS status = ReadClassSecurity(PropertiesKey, &captured);
    if (NT_SUCCESS(status) && captured != NULL) {
        status = GetSecurityInformation(captured, &defaulted, &information);
        // A descriptor this driver stored for the class carries the
        // defaulted mark: it gives way to the caller's default.
        if (!NT_SUCCESS(status) || defaulted) {
            ExFreePoolWithTag(captured, 0);
        } else {
            SetSettingsSecurity(captured, Settings);
        }
    }
    if (NT_SUCCESS(status)) {
        status = ReadClassDword(PropertiesKey, WIDE("DeviceType"), &Settings->DeviceType, CLASS_SETTING_DEVICE_TYPE,
                                Settings);
    }
    if (NT_SUCCESS(status)) {
        status = ReadClassDword(PropertiesKey, WIDE("DeviceCharacteristics"), &Settings->DeviceCharacteristics,
                                CLASS_SETTING_CHARACTERISTICS, Settings);
    }
    if (NT_SUCCESS(status)) {
        status = ReadClassDword(PropertiesKey, WIDE("Exclusive"), &Settings->Exclusive, CLASS_SETTING_EXCLUSIVE,
                                Settings);
    }
    if (!NT_SUCCESS(status)) {
        FreeClassCreationSettings(Settings);
        InitClassCreationSettings(Settings);
    }
    return status;
}
