// Object manager: object attributes, kernel handles, opening an object by
// pointer, and the security an object keeps.
#pragma once

#include "platform/rtl.h"
#include "platform/se.h"
#include "platform/types.h"

// Attributes of OBJECT_ATTRIBUTES and of handles.
#define OBJ_INHERIT 0x00000002UL
#define OBJ_PERMANENT 0x00000010UL
#define OBJ_EXCLUSIVE 0x00000020UL
#define OBJ_CASE_INSENSITIVE 0x00000040UL
#define OBJ_OPENIF 0x00000080UL
#define OBJ_OPENLINK 0x00000100UL
#define OBJ_KERNEL_HANDLE 0x00000200UL
#define OBJ_FORCE_ACCESS_CHECK 0x00000400UL

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;             // sizeof(OBJECT_ATTRIBUTES)
    HANDLE RootDirectory;     // the name is relative to this object, or absolute when NULL
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor; // for an object being created; NULL: inherited
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

X86_LAYOUT_ASSERT(sizeof(OBJECT_ATTRIBUTES) == 24);

inline VOID InitializeObjectAttributes(POBJECT_ATTRIBUTES Attributes, PUNICODE_STRING Name,
                                       ULONG AttributeFlags, HANDLE Root,
                                       PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    Attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    Attributes->RootDirectory = Root;
    Attributes->ObjectName = Name;
    Attributes->Attributes = AttributeFlags;
    Attributes->SecurityDescriptor = SecurityDescriptor;
    Attributes->SecurityQualityOfService = NULL;
}

typedef struct _OBJECT_TYPE *POBJECT_TYPE;
typedef struct _ACCESS_STATE *PACCESS_STATE;

extern "C" {

// The type of device objects, for callers that name the type they expect.
extern NTKERNEL_DATA POBJECT_TYPE IoDeviceObjectType;

NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                     ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                     KPROCESSOR_MODE AccessMode, PHANDLE Handle);
// Replaces the parts of the object's security that SecurityInformation names.
NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                   PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSTATUS NTAPI ZwClose(HANDLE Handle);

}  // extern "C"
