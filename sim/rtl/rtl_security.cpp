// The run-time library's routines over SIDs, ACLs and security descriptors.
// Like the kernel's, they trust the memory they are given and check only
// revisions and room.
#include <cstring>

#include "platform/ntstatus.h"
#include "platform/se.h"
#include "sim/windows_version.h"

namespace {

enum class DescriptorPart { Owner, Group, Sacl, Dacl };

ULONG LongAlign(ULONG n)
{
    return (n + 3) & ~3u;
}

bool IsSelfRelative(const SECURITY_DESCRIPTOR *descriptor)
{
    return (descriptor->Control & SE_SELF_RELATIVE) != 0;
}

// The address of one part in either form; NULL when the part is absent.
PVOID PartAddress(PSECURITY_DESCRIPTOR descriptor, DescriptorPart part)
{
    auto *absolute = static_cast<SECURITY_DESCRIPTOR *>(descriptor);
    if (IsSelfRelative(absolute)) {
        auto *relative = static_cast<SECURITY_DESCRIPTOR_RELATIVE *>(descriptor);
        const ULONG offsets[] = {relative->Owner, relative->Group, relative->Sacl, relative->Dacl};
        ULONG offset = offsets[static_cast<int>(part)];
        return offset == 0 ? nullptr : static_cast<UCHAR *>(descriptor) + offset;
    }
    const PVOID pointers[] = {absolute->Owner, absolute->Group, absolute->Sacl, absolute->Dacl};
    return pointers[static_cast<int>(part)];
}

bool IsValidSid(PSID sid)
{
    auto *s = static_cast<const SID *>(sid);
    return s != nullptr && s->Revision == SID_REVISION && s->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

ULONG AclLengthIfPresent(PSECURITY_DESCRIPTOR descriptor, USHORT presentBit, DescriptorPart part)
{
    auto *header = static_cast<SECURITY_DESCRIPTOR *>(descriptor);
    auto *acl = static_cast<ACL *>(PartAddress(descriptor, part));
    if ((header->Control & presentBit) == 0 || acl == nullptr) {
        return 0;
    }
    return LongAlign(acl->AclSize);
}

ULONG SidLengthIfPresent(PSECURITY_DESCRIPTOR descriptor, DescriptorPart part)
{
    PSID sid = PartAddress(descriptor, part);
    return sid == nullptr ? 0 : LongAlign(RtlLengthSid(sid));
}

}  // namespace

extern "C" {

ULONG NTAPI RtlLengthSid(PSID Sid)
{
    sim::CheckExportedSid(Sid, "RtlLengthSid");
    return 8 + 4 * ULONG{static_cast<SID *>(Sid)->SubAuthorityCount};
}

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision)
{
    if (Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR *>(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                            PACL Dacl, BOOLEAN DaclDefaulted)
{
    auto *descriptor = static_cast<SECURITY_DESCRIPTOR *>(SecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    if (IsSelfRelative(descriptor)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    if (!DaclPresent) {
        descriptor->Control &= ~SE_DACL_PRESENT;
        return STATUS_SUCCESS;
    }
    descriptor->Control |= SE_DACL_PRESENT;
    descriptor->Dacl = Dacl;
    if (DaclDefaulted) {
        descriptor->Control |= SE_DACL_DEFAULTED;
    } else {
        descriptor->Control &= ~SE_DACL_DEFAULTED;
    }
    return STATUS_SUCCESS;
}

ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    return sizeof(SECURITY_DESCRIPTOR_RELATIVE) + SidLengthIfPresent(SecurityDescriptor, DescriptorPart::Owner) +
           SidLengthIfPresent(SecurityDescriptor, DescriptorPart::Group) +
           AclLengthIfPresent(SecurityDescriptor, SE_SACL_PRESENT, DescriptorPart::Sacl) +
           AclLengthIfPresent(SecurityDescriptor, SE_DACL_PRESENT, DescriptorPart::Dacl);
}

NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                           PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                           PULONG BufferLength)
{
    auto *absolute = static_cast<SECURITY_DESCRIPTOR *>(AbsoluteSecurityDescriptor);
    if (absolute->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    if (IsSelfRelative(absolute)) {
        return STATUS_BAD_DESCRIPTOR_FORMAT;
    }
    ULONG total = RtlLengthSecurityDescriptor(AbsoluteSecurityDescriptor);
    if (*BufferLength < total) {
        *BufferLength = total;
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto *relative = static_cast<SECURITY_DESCRIPTOR_RELATIVE *>(SelfRelativeSecurityDescriptor);
    auto *base = static_cast<UCHAR *>(SelfRelativeSecurityDescriptor);
    std::memset(relative, 0, sizeof *relative);
    relative->Revision = SECURITY_DESCRIPTOR_REVISION;
    relative->Control = absolute->Control | SE_SELF_RELATIVE;
    ULONG used = sizeof *relative;
    // Each part starts on a four-byte boundary; the gap after a part is zero.
    auto place = [&](const void *part, ULONG length, ULONG alignedLength, ULONG *offset) {
        if (part == nullptr || alignedLength == 0) {
            return;
        }
        std::memcpy(base + used, part, length);
        std::memset(base + used + length, 0, alignedLength - length);
        *offset = used;
        used += alignedLength;
    };
    auto aclLength = [](const ACL *acl) { return acl == nullptr ? 0u : ULONG{acl->AclSize}; };
    auto sidLength = [](PSID sid) { return sid == nullptr ? 0u : RtlLengthSid(sid); };
    // The kernel's order: SACL, DACL, owner, group.
    place(absolute->Sacl, aclLength(absolute->Sacl),
          AclLengthIfPresent(absolute, SE_SACL_PRESENT, DescriptorPart::Sacl), &relative->Sacl);
    place(absolute->Dacl, aclLength(absolute->Dacl),
          AclLengthIfPresent(absolute, SE_DACL_PRESENT, DescriptorPart::Dacl), &relative->Dacl);
    place(absolute->Owner, sidLength(absolute->Owner), SidLengthIfPresent(absolute, DescriptorPart::Owner),
          &relative->Owner);
    place(absolute->Group, sidLength(absolute->Group), SidLengthIfPresent(absolute, DescriptorPart::Group),
          &relative->Group);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    sim::CheckExportedSid(Sid, "RtlAddAccessAllowedAce");
    if (!IsValidSid(Sid)) {
        return STATUS_INVALID_SID;
    }
    if (AceRevision < MIN_ACL_REVISION || AceRevision > MAX_ACL_REVISION ||
        Acl->AclRevision < MIN_ACL_REVISION || Acl->AclRevision > MAX_ACL_REVISION) {
        return STATUS_REVISION_MISMATCH;
    }
    // The first free place is after the ACEs the ACL counts.
    auto *base = reinterpret_cast<UCHAR *>(Acl);
    ULONG offset = sizeof(ACL);
    for (USHORT i = 0; i < Acl->AceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > Acl->AclSize) {
            return STATUS_INVALID_ACL;
        }
        offset += reinterpret_cast<ACE_HEADER *>(base + offset)->AceSize;
        if (offset > Acl->AclSize) {
            return STATUS_INVALID_ACL;
        }
    }
    ULONG sidLength = RtlLengthSid(Sid);
    ULONG aceSize = offsetof(ACCESS_ALLOWED_ACE, SidStart) + sidLength;
    if (offset + aceSize > Acl->AclSize) {
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    }
    auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(base + offset);
    ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace->Header.AceFlags = 0;
    ace->Header.AceSize = static_cast<USHORT>(aceSize);
    ace->Mask = AccessMask;
    std::memcpy(&ace->SidStart, Sid, sidLength);
    ++Acl->AceCount;
    if (AceRevision > Acl->AclRevision) {
        Acl->AclRevision = static_cast<UCHAR>(AceRevision);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Owner,
                                             PBOOLEAN OwnerDefaulted)
{
    auto *descriptor = static_cast<SECURITY_DESCRIPTOR *>(SecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    *Owner = PartAddress(SecurityDescriptor, DescriptorPart::Owner);
    *OwnerDefaulted = (descriptor->Control & SE_OWNER_DEFAULTED) != 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Group,
                                             PBOOLEAN GroupDefaulted)
{
    auto *descriptor = static_cast<SECURITY_DESCRIPTOR *>(SecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    *Group = PartAddress(SecurityDescriptor, DescriptorPart::Group);
    *GroupDefaulted = (descriptor->Control & SE_GROUP_DEFAULTED) != 0;
    return STATUS_SUCCESS;
}

// An absent ACL leaves the ACL and its defaulted mark unwritten, as the kernel does.
NTSTATUS NTAPI RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN SaclPresent,
                                            PACL *Sacl, PBOOLEAN SaclDefaulted)
{
    auto *descriptor = static_cast<SECURITY_DESCRIPTOR *>(SecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    *SaclPresent = (descriptor->Control & SE_SACL_PRESENT) != 0;
    if (*SaclPresent) {
        *Sacl = static_cast<PACL>(PartAddress(SecurityDescriptor, DescriptorPart::Sacl));
        *SaclDefaulted = (descriptor->Control & SE_SACL_DEFAULTED) != 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PBOOLEAN DaclPresent,
                                            PACL *Dacl, PBOOLEAN DaclDefaulted)
{
    auto *descriptor = static_cast<SECURITY_DESCRIPTOR *>(SecurityDescriptor);
    if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    *DaclPresent = (descriptor->Control & SE_DACL_PRESENT) != 0;
    if (*DaclPresent) {
        *Dacl = static_cast<PACL>(PartAddress(SecurityDescriptor, DescriptorPart::Dacl));
        *DaclDefaulted = (descriptor->Control & SE_DACL_DEFAULTED) != 0;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
