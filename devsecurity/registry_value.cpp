#include "devsecurity/pool_tags.h"
#include "devsecurity/registry.h"
#include "platform/ex.h"
#include "platform/ntstatus.h"

// Room for the partial reply's fixed part and four data bytes.
#define REGISTRY_DWORD_REPLY_LENGTH 16

NTSTATUS RegistryQueryDword(HANDLE Key, PUNICODE_STRING ValueName, ULONG DefaultValue, PULONG Value)
{
    // ULONGs keep the reply aligned as the structure needs.
    ULONG reply[REGISTRY_DWORD_REPLY_LENGTH / sizeof(ULONG)];
    PKEY_VALUE_PARTIAL_INFORMATION information = (PKEY_VALUE_PARTIAL_INFORMATION)reply;
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, ValueName, KeyValuePartialInformation, information,
                                      REGISTRY_DWORD_REPLY_LENGTH, &resultLength);
    *Value = DefaultValue;
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (information->Type != REG_DWORD || information->DataLength != sizeof(ULONG)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    RtlCopyMemory(Value, information->Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS RegistryQueryDwordSz(HANDLE Key, PCWSTR ValueName, ULONG DefaultValue, PULONG Value)
{
    UNICODE_STRING name;
    NTSTATUS status = InitCountedStringLimited(&name, ValueName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RegistryQueryDword(Key, &name, DefaultValue, Value);
}

NTSTATUS RegistryQueryValue(HANDLE Key, PUNICODE_STRING ValueName, ULONG ExpectedType, ULONG SizeHint,
                            PKEY_VALUE_FULL_INFORMATION *Buffer)
{
    *Buffer = NULL;
    ULONG length = ((ValueName->Length + sizeof(KEY_VALUE_FULL_INFORMATION) + 3) & ~3UL) + SizeHint;
    PKEY_VALUE_FULL_INFORMATION information =
        (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, length, REGISTRY_VALUE_TAG);
    if (information == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(Key, ValueName, KeyValueFullInformation, information, length, &needed);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(information, REGISTRY_VALUE_TAG);
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) {
            return status;
        }
        // One more query with exactly the length the value needs; a value
        // that grew in between fails it, and there is no third attempt.
        information = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, needed, REGISTRY_VALUE_TAG);
        if (information == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        status = ZwQueryValueKey(Key, ValueName, KeyValueFullInformation, information, needed, &needed);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(information, REGISTRY_VALUE_TAG);
            return status;
        }
    }
    if (ExpectedType != REG_NONE && information->Type != ExpectedType) {
        ExFreePoolWithTag(information, REGISTRY_VALUE_TAG);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Buffer = information;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryQueryValueSz(HANDLE Key, PCWSTR ValueName, ULONG ExpectedType, ULONG SizeHint,
                              PKEY_VALUE_FULL_INFORMATION *Buffer)
{
    UNICODE_STRING name;
    NTSTATUS status = InitCountedStringLimited(&name, ValueName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RegistryQueryValue(Key, &name, ExpectedType, SizeHint, Buffer);
}

NTSTATUS RegistrySetValue(HANDLE Key, PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize)
{
    return ZwSetValueKey(Key, ValueName, 0, Type, Data, DataSize);
}

NTSTATUS RegistrySetValueSz(HANDLE Key, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG DataSize)
{
    UNICODE_STRING name;
    NTSTATUS status = InitCountedStringLimited(&name, ValueName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RegistrySetValue(Key, &name, Type, Data, DataSize);
}

NTSTATUS RegistrySetString(HANDLE Key, PUNICODE_STRING ValueName, PUNICODE_STRING String)
{
    if (String->Length > String->MaximumLength) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG characters = String->Length / sizeof(WCHAR);
    ULONG storedLength = characters * sizeof(WCHAR) + sizeof(WCHAR);
    if ((ULONG)String->MaximumLength - String->Length >= sizeof(WCHAR)) {
        String->Buffer[characters] = 0;
        return ZwSetValueKey(Key, ValueName, 0, REG_SZ, String->Buffer, storedLength);
    }
    UNICODE_STRING copy;
    NTSTATUS status = RegistryAllocateString(&copy, String->Length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlCopyMemory(copy.Buffer, String->Buffer, String->Length);
    copy.Length = String->Length;
    copy.Buffer[characters] = 0;
    status = ZwSetValueKey(Key, ValueName, 0, REG_SZ, copy.Buffer, storedLength);
    RtlFreeUnicodeString(&copy);
    return status;
}

NTSTATUS RegistrySetStringSz(HANDLE Key, PCWSTR ValueName, PUNICODE_STRING String)
{
    UNICODE_STRING name;
    NTSTATUS status = InitCountedStringLimited(&name, ValueName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RegistrySetString(Key, &name, String);
}
