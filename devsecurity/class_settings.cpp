#include "devsecurity/class_settings.h"
#include "platform/ex.h"

// Self-relative: control 0x9404 (self-relative, DACL protected, auto
// inherited and present), the DACL at byte 20 with one ACE: allowed,
// object and container inherit, GENERIC_ALL, S-1-5-18.
alignas(4) const UCHAR ClassKeySecurity[CLASS_KEY_SECURITY_LENGTH] = {
    0x01, 0x00, 0x04, 0x94, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x02, 0x00, 0x1C, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x14, 0x00, 0x00, 0x00, 0x00, 0x10,
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,
};

LONG ClassKeySecurityState = CLASS_KEY_SECURITY_UNCHECKED;

VOID InitClassCreationSettings(ClassCreationSettings *Settings)
{
    Settings->SettingsFlags = 0;
    Settings->DeviceType = 0;
    Settings->SecurityDescriptor = NULL;
    Settings->DeviceCharacteristics = 0;
    Settings->Exclusive = 0;
}

// The type, characteristics and exclusive flag an administrator set for the
// class apply whichever descriptor secures the device.
VOID SetSettingsSecurity(PSECURITY_DESCRIPTOR SecurityDescriptor, ClassCreationSettings *Settings)
{
    Settings->SettingsFlags |= CLASS_SETTING_SECURITY;
    Settings->SecurityDescriptor = SecurityDescriptor;
}

VOID FreeClassCreationSettings(ClassCreationSettings *Settings)
{
    if (Settings->SettingsFlags & CLASS_SETTING_SECURITY) {
        ExFreePoolWithTag(Settings->SecurityDescriptor, 0);
        Settings->SecurityDescriptor = NULL;
        Settings->SettingsFlags &= ~CLASS_SETTING_SECURITY;
    }
}

VOID ApplyCreationOverrides(const ClassCreationSettings *Settings, PULONG DeviceType, PULONG DeviceCharacteristics,
                            PBOOLEAN Exclusive)
{
    if (Settings->SettingsFlags & CLASS_SETTING_DEVICE_TYPE) {
        *DeviceType = Settings->DeviceType;
    }
    if (Settings->SettingsFlags & CLASS_SETTING_CHARACTERISTICS) {
        *DeviceCharacteristics = Settings->DeviceCharacteristics;
    }
    if (Settings->SettingsFlags & CLASS_SETTING_EXCLUSIVE) {
        *Exclusive = (BOOLEAN)(Settings->Exclusive & 0xFF);
    }
}
