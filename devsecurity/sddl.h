// SDDL to security descriptor: the subset device security needs. A DACL
// section alone ("D:", optionally "P" for protected), access-allowed ACEs
// without flags or object GUIDs, trustees named by two-letter aliases, and
// rights given as two-letter aliases or numbers. The result is a
// self-relative descriptor in paged pool that the caller frees with
// ExFreePoolWithTag (tag 0); no partial result is ever handed out.
// Passive level only.
#pragma once

#include "platform/rtl.h"
#include "platform/se.h"

// A trustee alias: which SID of the platform's SeExports record it stands
// for (SidField is the field's byte offset in SE_EXPORTS), and whether that
// SID exists only where IoIsWdmVersionAvailable(1, 0x20) is TRUE.
typedef struct _SddlSidAlias {
    PCWSTR Alias;
    ULONG AliasLength;  // characters
    ULONG SidField;
    BOOLEAN NeedsWdm120;
} SddlSidAlias;

typedef struct _SddlAccessAlias {
    PCWSTR Alias;
    ULONG AliasLength;  // characters
    ACCESS_MASK Access;
} SddlAccessAlias;

#define SDDL_SID_ALIAS_COUNT 12
#define SDDL_ACCESS_ALIAS_COUNT 8

// Searched in this order; the first match wins.
extern const SddlSidAlias SddlSidAliases[SDDL_SID_ALIAS_COUNT];
extern const SddlAccessAlias SddlAccessAliases[SDDL_ACCESS_ALIAS_COUNT];

// The predefined strings, NUL-terminated with MaximumLength = Length + 2.
extern const UNICODE_STRING SddlProtectedEmpty;
extern const UNICODE_STRING SddlSystemAll;
extern const UNICODE_STRING SddlSystemAllAdminsAll;
extern const UNICODE_STRING SddlSystemAllAdminsRx;
extern const UNICODE_STRING SddlSystemAllAdminsRwxWorldR;
extern const UNICODE_STRING SddlSystemAllAdminsRwxWorldRRestrictedR;
extern const UNICODE_STRING SddlSystemAllAdminsRwxWorldRwRestrictedR;
extern const UNICODE_STRING SddlSystemAllAdminsWorldRestrictedRwx;

// Converts a counted string; one that is not NUL-terminated within its
// buffer is converted from a terminated copy. MarkDaclDefaulted asks for
// SE_DACL_DEFAULTED in the result's control.
NTSTATUS SddlToSecurityDescriptor(PCUNICODE_STRING Sddl, BOOLEAN MarkDaclDefaulted,
                                  PSECURITY_DESCRIPTOR *SecurityDescriptor);
NTSTATUS SddlStringToSecurityDescriptor(PCWSTR Sddl, BOOLEAN MarkDaclDefaulted,
                                        PSECURITY_DESCRIPTOR *SecurityDescriptor);

// The steps of the conversion.
NTSTATUS SddlParseDacl(PCWSTR Sddl, BOOLEAN MarkDaclDefaulted, PULONG Control, PACL *Acl);
NTSTATUS SddlParseAceList(PCWSTR Position, PACL *Acl, PCWSTR *SectionEnd);
// STATUS_SUCCESS with the platform's own SID (NULL for an alias this system
// lacks), or STATUS_NONE_MAPPED.
NTSTATUS SddlLookupSid(PCWSTR Position, PSID *Sid, PCWSTR *End);
BOOLEAN SddlLookupAccessRight(PCWSTR Position, PACCESS_MASK Mask, PCWSTR *End);
BOOLEAN SddlParseNumber(PCWSTR Position, PCWSTR *End, PULONG Value);
// Appends one access-allowed ACE; the ACL is replaced by a larger one when
// it lacks room (Remaining ACEs, this one included, are provided for).
NTSTATUS SddlAppendAce(PACL *Acl, PULONG UsedLength, ACCESS_MASK Mask, ULONG Remaining, PSID Sid);
