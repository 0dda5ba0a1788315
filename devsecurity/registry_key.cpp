#include "devsecurity/registry.h"
#include "platform/ntstatus.h"

NTSTATUS RegistryOpenKey(HANDLE RootKey, PUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess, PHANDLE KeyHandle)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle = NULL;
    *KeyHandle = NULL;
    InitializeObjectAttributes(&attributes, KeyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, RootKey, NULL);
    NTSTATUS status = ZwOpenKey(&handle, DesiredAccess, &attributes);
    if (NT_SUCCESS(status)) {
        *KeyHandle = handle;
    }
    return status;
}

NTSTATUS RegistryOpenKeySz(HANDLE RootKey, PCWSTR KeyName, ACCESS_MASK DesiredAccess, PHANDLE KeyHandle)
{
    UNICODE_STRING name;
    NTSTATUS status = InitCountedStringLimited(&name, KeyName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RegistryOpenKey(RootKey, &name, DesiredAccess, KeyHandle);
}

NTSTATUS RegistryCreateKey(HANDLE RootKey, PUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess, ULONG CreateOptions,
                           PSECURITY_DESCRIPTOR SecurityDescriptor, PULONG Disposition, PHANDLE KeyHandle)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle = NULL;
    ULONG disposition = 0;
    InitializeObjectAttributes(&attributes, KeyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, RootKey,
                               SecurityDescriptor);
    NTSTATUS status = ZwCreateKey(&handle, DesiredAccess, &attributes, 0, NULL, CreateOptions, &disposition);
    if (!NT_SUCCESS(status)) {
        handle = NULL;
        disposition = 0;
    }
    *KeyHandle = handle;
    if (Disposition != NULL) {
        *Disposition = disposition;
    }
    return status;
}

NTSTATUS RegistryCreateKeySz(HANDLE RootKey, PCWSTR KeyName, ACCESS_MASK DesiredAccess, ULONG CreateOptions,
                             PSECURITY_DESCRIPTOR SecurityDescriptor, PULONG Disposition, PHANDLE KeyHandle)
{
    UNICODE_STRING name;
    NTSTATUS status = InitCountedStringLimited(&name, KeyName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RegistryCreateKey(RootKey, &name, DesiredAccess, CreateOptions, SecurityDescriptor, Disposition,
                             KeyHandle);
}
