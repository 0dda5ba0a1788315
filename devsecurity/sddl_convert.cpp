// From an SDDL string to a self-relative descriptor.
#include "devsecurity/pool_tags.h"
#include "devsecurity/sddl.h"
#include "platform/ex.h"
#include "platform/ntstatus.h"

NTSTATUS SddlToSecurityDescriptor(PCUNICODE_STRING Sddl, BOOLEAN MarkDaclDefaulted,
                                  PSECURITY_DESCRIPTOR *SecurityDescriptor)
{
    *SecurityDescriptor = NULL;
    if (Sddl == NULL || Sddl->Length > Sddl->MaximumLength || (Sddl->Buffer == NULL && Sddl->MaximumLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG characters = Sddl->Length / sizeof(WCHAR);
    if (Sddl->MaximumLength == Sddl->Length + sizeof(WCHAR) && Sddl->Buffer[characters] == 0) {
        return SddlStringToSecurityDescriptor(Sddl->Buffer, MarkDaclDefaulted, SecurityDescriptor);
    }
    PWSTR copy = (PWSTR)ExAllocatePoolWithTag(PagedPool, Sddl->Length + sizeof(WCHAR), SDDL_TERMINATED_COPY_TAG);
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Sddl->Length != 0) {
        RtlCopyMemory(copy, Sddl->Buffer, Sddl->Length);
    }
    copy[characters] = 0;
    NTSTATUS status = SddlStringToSecurityDescriptor(copy, MarkDaclDefaulted, SecurityDescriptor);
    ExFreePoolWithTag(copy, SDDL_TERMINATED_COPY_TAG);
    return status;
}

NTSTATUS SddlStringToSecurityDescriptor(PCWSTR Sddl, BOOLEAN MarkDaclDefaulted,
                                        PSECURITY_DESCRIPTOR *SecurityDescriptor)
{
    ULONG control = 0;
    PACL acl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_DESCRIPTOR absolute;
    *SecurityDescriptor = NULL;

    NTSTATUS status = SddlParseDacl(Sddl, MarkDaclDefaulted, &control, &acl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE);
    }
    if (NT_SUCCESS(status)) {
        absolute.Control |= (SECURITY_DESCRIPTOR_CONTROL)control;
        ULONG length = 0;
        // The first call only measures.
        status = RtlAbsoluteToSelfRelativeSD(&absolute, NULL, &length);
        if (status == STATUS_BUFFER_TOO_SMALL) {
            descriptor = ExAllocatePoolWithTag(PagedPool, length, SDDL_DESCRIPTOR_TAG);
            status = descriptor == NULL ? STATUS_INSUFFICIENT_RESOURCES
                                        : RtlAbsoluteToSelfRelativeSD(&absolute, descriptor, &length);
        }
    }
    ExFreePoolWithTag(acl, SDDL_ACL_TAG);
    if (!NT_SUCCESS(status)) {
        if (descriptor != NULL) {
            ExFreePoolWithTag(descriptor, SDDL_DESCRIPTOR_TAG);
        }
        return status;
    }
    *SecurityDescriptor = descriptor;
    return STATUS_SUCCESS;
}

NTSTATUS SddlParseDacl(PCWSTR Sddl, BOOLEAN MarkDaclDefaulted, PULONG Control, PACL *Acl)
{
    *Control = 0;
    *Acl = NULL;
    PCWSTR p = Sddl;
    while (*p == WIDE(' ')) {
        ++p;
    }
    if (p[0] != WIDE('D') || p[1] != WIDE(':')) {
        return STATUS_INVALID_PARAMETER;
    }
    p += 2;
    ULONG control = MarkDaclDefaulted ? SE_DACL_DEFAULTED : 0;
    if (*p == WIDE('P')) {
        ++p;
        control |= SE_DACL_PROTECTED;
    }
    PACL acl;
    PCWSTR sectionEnd;
    NTSTATUS status = SddlParseAceList(p, &acl, &sectionEnd);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    while (*sectionEnd == WIDE(' ')) {
        ++sectionEnd;
    }
    if (*sectionEnd != 0) {
        ExFreePoolWithTag(acl, SDDL_ACL_TAG);
        return STATUS_INVALID_PARAMETER;
    }
    *Control = control;
    *Acl = acl;
    return STATUS_SUCCESS;
}
