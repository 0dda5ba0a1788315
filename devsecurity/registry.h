// Registry utilities of secure device creation: open or create a key, read
// a REG_DWORD with a default, read a whole value into pool memory, write a
// value, write a counted string as REG_SZ.
//
// Each operation has a counted form, naming its key or value with a
// UNICODE_STRING, and an Sz form taking a NUL-terminated name of at most
// REGISTRY_MAX_NAME_CHARS characters (longer: STATUS_NAME_TOO_LONG, with the
// outputs untouched). Every key is opened case-insensitively as a kernel
// handle, which the caller closes with ZwClose. Nothing is left open or
// allocated on a failure. Passive level only.
#pragma once

#include "platform/zw.h"

#define REGISTRY_MAX_NAME_CHARS 0x7FFE

// Points Destination at Source without copying it: Length without the NUL,
// MaximumLength with it. A NULL source gives the empty string.
NTSTATUS InitCountedStringLimited(PUNICODE_STRING Destination, PCWSTR Source);
// An empty string with a pool buffer of Length + 2 bytes, released with
// RtlFreeUnicodeString.
NTSTATUS RegistryAllocateString(PUNICODE_STRING String, ULONG Length);

// RootKey may be NULL; the name is then a full path such as "\Registry\Machine\...".
NTSTATUS RegistryOpenKey(HANDLE RootKey, PUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess, PHANDLE KeyHandle);
NTSTATUS RegistryOpenKeySz(HANDLE RootKey, PCWSTR KeyName, ACCESS_MASK DesiredAccess, PHANDLE KeyHandle);

// Disposition (optional) receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY,
// and 0 on failure. SecurityDescriptor (optional) secures a key that is created.
NTSTATUS RegistryCreateKey(HANDLE RootKey, PUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess, ULONG CreateOptions,
                           PSECURITY_DESCRIPTOR SecurityDescriptor, PULONG Disposition, PHANDLE KeyHandle);
NTSTATUS RegistryCreateKeySz(HANDLE RootKey, PCWSTR KeyName, ACCESS_MASK DesiredAccess, ULONG CreateOptions,
                             PSECURITY_DESCRIPTOR SecurityDescriptor, PULONG Disposition, PHANDLE KeyHandle);

// Value receives the REG_DWORD's data, or DefaultValue on every failure:
// STATUS_OBJECT_NAME_NOT_FOUND when the value is missing,
// STATUS_BUFFER_OVERFLOW when its data is longer than four bytes, and
// STATUS_OBJECT_TYPE_MISMATCH when it is of another type or a REG_DWORD
// shorter than four bytes (which holds no number to read).
NTSTATUS RegistryQueryDword(HANDLE Key, PUNICODE_STRING ValueName, ULONG DefaultValue, PULONG Value);
NTSTATUS RegistryQueryDwordSz(HANDLE Key, PCWSTR ValueName, ULONG DefaultValue, PULONG Value);

// Reads a whole value into a KEY_VALUE_FULL_INFORMATION from non-paged pool
// that the caller frees (ExFreePoolWithTag, tag 0); its data lies at
// DataOffset. SizeHint is the data size expected, so that one query
// usually suffices. ExpectedType 0 accepts any type; another type than the
// one expected gives STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS RegistryQueryValue(HANDLE Key, PUNICODE_STRING ValueName, ULONG ExpectedType, ULONG SizeHint,
                            PKEY_VALUE_FULL_INFORMATION *Buffer);
NTSTATUS RegistryQueryValueSz(HANDLE Key, PCWSTR ValueName, ULONG ExpectedType, ULONG SizeHint,
                              PKEY_VALUE_FULL_INFORMATION *Buffer);

NTSTATUS RegistrySetValue(HANDLE Key, PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize);
NTSTATUS RegistrySetValueSz(HANDLE Key, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG DataSize);

// Stores the text and a terminating NUL as REG_SZ. When the string's buffer
// has room after the text, the NUL is written there; otherwise a terminated
// copy is stored.
NTSTATUS RegistrySetString(HANDLE Key, PUNICODE_STRING ValueName, PUNICODE_STRING String);
NTSTATUS RegistrySetStringSz(HANDLE Key, PCWSTR ValueName, PUNICODE_STRING String);
