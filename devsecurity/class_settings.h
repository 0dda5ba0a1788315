// Per-class overrides of device creation, kept in the registry under the
// class key ("\Registry\Machine\System\CurrentControlSet\Control\Class\{GUID}")
// in its "Properties" subkey: "Security" (REG_BINARY, a self-relative
// descriptor), "DeviceType", "DeviceCharacteristics" and "Exclusive"
// (REG_DWORD each, the low byte of "Exclusive" counting). Passive level only.
#pragma once

#include "platform/guid.h"
#include "platform/io.h"
#include "platform/se.h"

// ClassCreationSettings.SettingsFlags: which fields hold a value.
#define CLASS_SETTING_DEVICE_TYPE 0x1
#define CLASS_SETTING_SECURITY 0x2
#define CLASS_SETTING_CHARACTERISTICS 0x4
#define CLASS_SETTING_EXCLUSIVE 0x8

// The overrides for one creation. The record owns SecurityDescriptor (pool)
// exactly while CLASS_SETTING_SECURITY is set.
typedef struct _ClassCreationSettings {
    ULONG SettingsFlags;
    ULONG DeviceType;
    PSECURITY_DESCRIPTOR SecurityDescriptor;
    ULONG DeviceCharacteristics;
    ULONG Exclusive;  // only the low byte counts
} ClassCreationSettings;

// ClassKeySecurityState: whether ClassKeySecurity has been checked, once per load.
#define CLASS_KEY_SECURITY_UNCHECKED 0
#define CLASS_KEY_SECURITY_VALID 1    // "Properties" keys are created with it
#define CLASS_KEY_SECURITY_INVALID 2  // "Properties" keys inherit their parent's security

// What secures a "Properties" key this driver creates: protected, SYSTEM
// alone with every right, inherited by subkeys and values.
#define CLASS_KEY_SECURITY_LENGTH 48
extern const UCHAR ClassKeySecurity[CLASS_KEY_SECURITY_LENGTH];
extern LONG ClassKeySecurityState;

VOID InitClassCreationSettings(ClassCreationSettings *Settings);
// Records a descriptor the settings then own; the other settings stay.
VOID SetSettingsSecurity(PSECURITY_DESCRIPTOR SecurityDescriptor, ClassCreationSettings *Settings);
VOID FreeClassCreationSettings(ClassCreationSettings *Settings);

// Reads the class's settings, creating its class key (with "Class" naming
// the driver's service) when it does not exist yet.
NTSTATUS ReadClassCreationSettings(LPCGUID ClassGuid, PDRIVER_OBJECT DriverObject,
                                   ClassCreationSettings *Settings);
NTSTATUS OpenClassKey(LPCGUID ClassGuid, ACCESS_MASK DesiredAccess, BOOLEAN Create, PULONG Disposition,
                      PHANDLE ClassKey);
NTSTATUS ReadClassSettingsFromKey(HANDLE PropertiesKey, ClassCreationSettings *Settings);
// Stores the settings' descriptor as the class's "Security".
NTSTATUS StoreClassSecurity(LPCGUID ClassGuid, ClassCreationSettings *Settings);

// The creation parameters after the overrides the settings hold.
VOID ApplyCreationOverrides(const ClassCreationSettings *Settings, PULONG DeviceType, PULONG DeviceCharacteristics,
                            PBOOLEAN Exclusive);
