// Security: SIDs, ACLs, security descriptors, access masks, the kernel's
// exported record of well-known SIDs, and the run-time library's routines
// that build and read descriptors.
#pragma once

#include "platform/ex.h"
#include "platform/ke.h"
#include "platform/types.h"

// Variables the kernel exports are reached through the import table on
// Windows; on the host they are the sim's own.
#if RZ_WINDOWS_TARGET
#define NTKERNEL_DATA __declspec(dllimport)
#else
#define NTKERNEL_DATA
#endif

typedef ACCESS_MASK *PACCESS_MASK;

// Access rights.
#define DELETE 0x00010000UL
#define READ_CONTROL 0x00020000UL
#define WRITE_DAC 0x00040000UL
#define WRITE_OWNER 0x00080000UL
#define SYNCHRONIZE 0x00100000UL
#define STANDARD_RIGHTS_REQUIRED 0x000F0000UL
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define ACCESS_SYSTEM_SECURITY 0x01000000UL
#define MAXIMUM_ALLOWED 0x02000000UL
#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define GENERIC_EXECUTE 0x20000000UL
#define GENERIC_ALL 0x10000000UL

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[1];  // SubAuthorityCount of them
} SID, *PISID;
typedef PVOID PSID;

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15

typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;  // bytes, header and every ACE
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;

#define ACL_REVISION 2
#define ACL_REVISION_DS 4
#define MIN_ACL_REVISION ACL_REVISION
#define MAX_ACL_REVISION ACL_REVISION_DS

typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;  // bytes, header included
} ACE_HEADER, *PACE_HEADER;

#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define SYSTEM_AUDIT_ACE_TYPE 0x2
#define SYSTEM_ALARM_ACE_TYPE 0x3

#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2

// Allowed, denied, audit and alarm ACEs share this shape: the SID starts at SidStart.
typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef USHORT SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;

#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_SACL_DEFAULTED 0x0020
#define SE_DACL_AUTO_INHERITED 0x0400
#define SE_SACL_AUTO_INHERITED 0x0800
#define SE_DACL_PROTECTED 0x1000
#define SE_SACL_PROTECTED 0x2000
#define SE_SELF_RELATIVE 0x8000

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH sizeof(SECURITY_DESCRIPTOR)

// Absolute form: the parts are pointers.
typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;

// Self-relative form: the parts follow the header in one block, found by
// their byte offsets from its start (0: absent).
typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    ULONG Owner;
    ULONG Group;
    ULONG Sacl;
    ULONG Dacl;
} SECURITY_DESCRIPTOR_RELATIVE, *PISECURITY_DESCRIPTOR_RELATIVE;

typedef PVOID PSECURITY_DESCRIPTOR;

typedef ULONG SECURITY_INFORMATION, *PSECURITY_INFORMATION;

#define OWNER_SECURITY_INFORMATION 0x00000001UL
#define GROUP_SECURITY_INFORMATION 0x00000002UL
#define DACL_SECURITY_INFORMATION 0x00000004UL
#define SACL_SECURITY_INFORMATION 0x00000008UL

// The kernel's record of privileges and well-known SIDs, as Windows XP has
// it. Windows 2000's record ends after SeAnonymousLogonSid: the fields
// after it exist only where IoIsWdmVersionAvailable(1, 0x20) is TRUE.
typedef struct _SE_EXPORTS {
    LUID SeCreateTokenPrivilege;
    LUID SeAssignPrimaryTokenPrivilege;
    LUID SeLockMemoryPrivilege;
    LUID SeIncreaseQuotaPrivilege;
    LUID SeUnsolicitedInputPrivilege;
    LUID SeTcbPrivilege;
    LUID SeSecurityPrivilege;
    LUID SeTakeOwnershipPrivilege;
    LUID SeLoadDriverPrivilege;
    LUID SeCreatePagefilePrivilege;
    LUID SeIncreaseBasePriorityPrivilege;
    LUID SeSystemProfilePrivilege;
    LUID SeSystemtimePrivilege;
    LUID SeProfileSingleProcessPrivilege;
    LUID SeCreatePermanentPrivilege;
    LUID SeBackupPrivilege;
    LUID SeRestorePrivilege;
    LUID SeShutdownPrivilege;
    LUID SeDebugPrivilege;
    LUID SeAuditPrivilege;
    LUID SeSystemEnvironmentPrivilege;
    LUID SeChangeNotifyPrivilege;
    LUID SeRemoteShutdownPrivilege;
    PSID SeNullSid;
    PSID SeWorldSid;
    PSID SeLocalSid;
    PSID SeCreatorOwnerSid;
    PSID SeCreatorGroupSid;
    PSID SeNtAuthoritySid;
    PSID SeDialupSid;
    PSID SeNetworkSid;
    PSID SeBatchSid;
    PSID SeInteractiveSid;
    PSID SeLocalSystemSid;
    PSID SeAliasAdminsSid;
    PSID SeAliasUsersSid;
    PSID SeAliasGuestsSid;
    PSID SeAliasPowerUsersSid;
    PSID SeAliasAccountOpsSid;
    PSID SeAliasSystemOpsSid;
    PSID SeAliasPrintOpsSid;
    PSID SeAliasBackupOpsSid;
    PSID SeAuthenticatedUsersSid;
    PSID SeRestrictedSid;
    PSID SeAnonymousLogonSid;
    LUID SeUndockPrivilege;
    LUID SeSyncAgentPrivilege;
    LUID SeEnableDelegationPrivilege;
    PSID SeLocalServiceSid;
    PSID SeNetworkServiceSid;
} SE_EXPORTS, *PSE_EXPORTS;

X86_LAYOUT_ASSERT(sizeof(SID) == 12);
X86_LAYOUT_ASSERT(sizeof(ACL) == 8);
X86_LAYOUT_ASSERT(sizeof(ACE_HEADER) == 4);
X86_LAYOUT_ASSERT(sizeof(ACCESS_ALLOWED_ACE) == 12);
X86_LAYOUT_ASSERT(sizeof(SECURITY_DESCRIPTOR) == 20);
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20, "self-relative header is 20 bytes");
X86_LAYOUT_ASSERT(offsetof(SE_EXPORTS, SeNullSid) == 184);
X86_LAYOUT_ASSERT(offsetof(SE_EXPORTS, SeWorldSid) == 188);
X86_LAYOUT_ASSERT(offsetof(SE_EXPORTS, SeLocalSystemSid) == 224);
X86_LAYOUT_ASSERT(offsetof(SE_EXPORTS, SeAnonymousLogonSid) == 268);
X86_LAYOUT_ASSERT(offsetof(SE_EXPORTS, SeUndockPrivilege) == 272);
X86_LAYOUT_ASSERT(offsetof(SE_EXPORTS, SeLocalServiceSid) == 296);
X86_LAYOUT_ASSERT(sizeof(SE_EXPORTS) == 304);

extern "C" {

extern NTKERNEL_DATA PSE_EXPORTS SeExports;

ULONG NTAPI RtlLengthSid(PSID Sid);
NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision);
NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                            PACL Dacl, BOOLEAN DaclDefaulted);
NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                           PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                           PULONG BufferLength);
NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Owner,
                                             PBOOLEAN OwnerDefaulted);
NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Group,
                                             PBOOLEAN GroupDefaulted);
NTSTATUS NTAPI RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN SaclPresent,
                                            PACL *Sacl, PBOOLEAN SaclDefaulted);
NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN DaclPresent,
                                            PACL *Dacl, PBOOLEAN DaclDefaulted);
ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);

// Validates the descriptor and returns a self-relative copy in pool, which
// the caller frees; a kernel-mode caller that does not force the capture
// gets its own descriptor back.
NTSTATUS NTAPI SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR InputSecurityDescriptor,
                                           KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
                                           BOOLEAN ForceCapture,
                                           PSECURITY_DESCRIPTOR *OutputSecurityDescriptor);

}  // extern "C"
