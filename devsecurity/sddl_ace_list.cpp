// The ACE list of the DACL section, parsed into an ACL in pool.
#include "devsecurity/pool_tags.h"
#include "devsecurity/sddl.h"
#include "platform/ex.h"
#include "platform/ntstatus.h"

// Every SID of the alias table fits an ACE of this size, so the ACL sized
// from the count of ACEs never has to grow below the cap.
#define SDDL_ACE_ROOM 48
#define SDDL_ACL_MAX_SIZE 0xFFFF

static PCWSTR SddlSkipSpaces(PCWSTR Position)
{
    while (*Position == WIDE(' ')) {
        ++Position;
    }
    return Position;
}

static PACL SddlAllocateAcl(ULONG Size)
{
    PACL acl = (PACL)ExAllocatePoolWithTag(PagedPool, Size, SDDL_ACL_TAG);
    if (acl != NULL) {
        RtlZeroMemory(acl, Size);
        acl->AclRevision = ACL_REVISION;
        acl->AclSize = (USHORT)Size;
    }
    return acl;
}

// One ACE of the list, from its optional "(" to its ")": mask and SID out.
static NTSTATUS SddlParseAce(PCWSTR *Position, PACCESS_MASK Mask, PSID *Sid)
{
    PCWSTR p = SddlSkipSpaces(*Position);
    *Mask = 0;
    if (*p == WIDE('(')) {
        ++p;
    }
    p = SddlSkipSpaces(p);
    if (*p != WIDE('A') && *p != WIDE('a')) {
        return STATUS_INVALID_PARAMETER;
    }
    p += 2;  // the type and the character after it, which is not examined
    p = SddlSkipSpaces(p);
    if (*p != WIDE(';')) {
        return STATUS_INVALID_PARAMETER;  // ACE flags are not supported
    }
    p = SddlSkipSpaces(p + 1);
    while (*p != WIDE(';')) {
        ACCESS_MASK right;
        PCWSTR end;
        p = SddlSkipSpaces(p);
        if (SddlLookupAccessRight(p, &right, &end)) {
            *Mask |= right;
        } else if (!SddlParseNumber(p, &end, Mask)) {
            return STATUS_INVALID_PARAMETER;
        }
        p = end;
    }
    ++p;
    // The object and inherited-object GUID fields must be empty.
    BOOLEAN guidFieldsEmpty = TRUE;
    for (int field = 0; field < 2; ++field) {
        p = SddlSkipSpaces(p);
        if (*p != WIDE(';')) {
            guidFieldsEmpty = FALSE;
        }
        ++p;
    }
    if (!guidFieldsEmpty) {
        return STATUS_INVALID_PARAMETER;
    }
    PCWSTR end = p;
    NTSTATUS status = SddlLookupSid(SddlSkipSpaces(p), Sid, &end);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    p = SddlSkipSpaces(end);
    if (*p != WIDE(')')) {
        return STATUS_INVALID_ACL;
    }
    *Position = p + 1;
    return STATUS_SUCCESS;
}

NTSTATUS SddlParseAceList(PCWSTR Position, PACL *Acl, PCWSTR *SectionEnd)
{
    *Acl = NULL;
    PCWSTR sectionLimit = Position;
    while (*sectionLimit != 0 && *sectionLimit != WIDE(':')) {
        ++sectionLimit;
    }
    if (*sectionLimit == WIDE(':')) {
        if (sectionLimit == Position) {
            return STATUS_INVALID_PARAMETER;
        }
        *SectionEnd = sectionLimit - 1;
    } else {
        *SectionEnd = sectionLimit;
    }

    ULONG semicolons = 0;
    BOOLEAN otherText = FALSE;
    for (PCWSTR p = Position; p < sectionLimit; ++p) {
        if (*p == WIDE(';')) {
            ++semicolons;
        } else if (*p != WIDE(' ')) {
            otherText = TRUE;
        }
    }
    if (semicolons % 5 != 0 || (semicolons == 0 && otherText)) {
        return STATUS_INVALID_PARAMETER;
    }

    ULONG aceCount = semicolons / 5;
    ULONG size = aceCount * SDDL_ACE_ROOM + sizeof(ACL);
    PACL acl = SddlAllocateAcl(size > SDDL_ACL_MAX_SIZE ? SDDL_ACL_MAX_SIZE : size);
    if (acl == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG used = sizeof(ACL);
    PCWSTR p = Position;
    for (ULONG i = 0; i < aceCount; ++i) {
        ACCESS_MASK mask;
        PSID sid = NULL;
        NTSTATUS status = SddlParseAce(&p, &mask, &sid);
        // A trustee this system lacks adds no ACE.
        if (NT_SUCCESS(status) && sid != NULL) {
            status = SddlAppendAce(&acl, &used, mask, aceCount - i, sid);
        }
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(acl, SDDL_ACL_TAG);
            return status;
        }
        if (*p == WIDE('(')) {
            ++p;
        }
    }
    acl->AclSize = (USHORT)used;
    *Acl = acl;
    return STATUS_SUCCESS;
}

NTSTATUS SddlAppendAce(PACL *Acl, PULONG UsedLength, ACCESS_MASK Mask, ULONG Remaining, PSID Sid)
{
    ULONG aceSize = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + RtlLengthSid(Sid);
    if (*UsedLength + aceSize > (*Acl)->AclSize) {
        ULONG size = *UsedLength + aceSize * Remaining;
        PACL larger = SddlAllocateAcl(size > SDDL_ACL_MAX_SIZE ? SDDL_ACL_MAX_SIZE : size);
        if (larger == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        USHORT largerSize = larger->AclSize;
        RtlCopyMemory(larger, *Acl, *UsedLength);
        larger->AclSize = largerSize;
        ExFreePoolWithTag(*Acl, SDDL_ACL_TAG);
        *Acl = larger;
    }
    *UsedLength += aceSize;
    return RtlAddAccessAllowedAce(*Acl, ACL_REVISION, Mask, Sid);
}
