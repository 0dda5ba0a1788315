// The sim's security runtime: descriptors built, measured and captured as
// the kernel does it, the exported SIDs of each Windows version, and the
// wide-string routines of the kernel's run-time.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/io_version.h"
#include "platform/ntstatus.h"
#include "platform/se.h"
#include "platform/wcs.h"
#include "sim/pool.h"
#include "sim/security.h"
#include "sim/windows_version.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;

class SecurityRuntime : public rztest::SimTest {};

std::vector<uint8_t> DescriptorWithEverything()
{
    sim::security::Descriptor descriptor;
    descriptor.control = SE_DACL_PROTECTED;
    descriptor.owner = "S-1-5-32-544";
    descriptor.group = "S-1-5-18";
    descriptor.sacl = sim::security::Acl{ACL_REVISION, {{SYSTEM_AUDIT_ACE_TYPE, 0xC0, GENERIC_ALL, "S-1-1-0"}}};
    descriptor.dacl = sim::security::Acl{ACL_REVISION, {{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, "S-1-5-18"}}};
    return sim::security::Build(descriptor);
}

TEST_F(SecurityRuntime, AbsoluteDescriptorsBecomeSelfRelativeInTheKernelsOrder)
{
    UCHAR aclBytes[64];
    PACL acl = reinterpret_cast<PACL>(aclBytes);
    *acl = ACL{ACL_REVISION, 0, sizeof aclBytes, 0, 0};
    ASSERT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ, SeExports->SeWorldSid), STATUS_SUCCESS);
    acl->AclSize = 28;

    SECURITY_DESCRIPTOR absolute;
    ASSERT_EQ(RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, TRUE), STATUS_SUCCESS);
    absolute.Owner = SeExports->SeAliasAdminsSid;

    ULONG length = 0;
    ASSERT_EQ(RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 20u + 28 + 16);
    std::vector<uint8_t> bytes(length);
    ASSERT_EQ(RtlAbsoluteToSelfRelativeSD(&absolute, bytes.data(), &length), STATUS_SUCCESS);
    auto *relative = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE *>(bytes.data());
    EXPECT_EQ(relative->Control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_DEFAULTED);
    EXPECT_EQ(relative->Dacl, 20u) << "the DACL comes before the owner";
    EXPECT_EQ(relative->Owner, 48u);
    EXPECT_EQ(RtlAbsoluteToSelfRelativeSD(bytes.data(), nullptr, &length), STATUS_BAD_DESCRIPTOR_FORMAT);
}

TEST_F(SecurityRuntime, AclsRefuseAcesBeyondTheirSize)
{
    UCHAR aclBytes[28];
    PACL acl = reinterpret_cast<PACL>(aclBytes);
    *acl = ACL{ACL_REVISION, 0, sizeof aclBytes, 0, 0};
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeLocalSystemSid), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, SeExports->SeWorldSid),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl->AceCount, 1);
}

TEST_F(SecurityRuntime, PartsAreReadWithTheirDefaultedMarks)
{
    std::vector<uint8_t> bytes = DescriptorWithEverything();
    PSID sid = nullptr;
    BOOLEAN defaulted = TRUE;
    ASSERT_EQ(RtlGetOwnerSecurityDescriptor(bytes.data(), &sid, &defaulted), STATUS_SUCCESS);
    EXPECT_EQ(sim::security::SidText(sid), "S-1-5-32-544");
    EXPECT_FALSE(defaulted);
    BOOLEAN present = FALSE;
    PACL acl = nullptr;
    ASSERT_EQ(RtlGetSaclSecurityDescriptor(bytes.data(), &present, &acl, &defaulted), STATUS_SUCCESS);
    EXPECT_TRUE(present);
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_EQ(RtlLengthSecurityDescriptor(bytes.data()), bytes.size());

    // An absent DACL leaves the caller's ACL and mark as they were.
    std::vector<uint8_t> noDacl = sim::security::Build(sim::security::Descriptor{SE_DACL_DEFAULTED, {}, {}, {}, {}});
    defaulted = 7;
    acl = reinterpret_cast<PACL>(0x1);
    ASSERT_EQ(RtlGetDaclSecurityDescriptor(noDacl.data(), &present, &acl, &defaulted), STATUS_SUCCESS);
    EXPECT_FALSE(present);
    EXPECT_EQ(defaulted, 7);
    EXPECT_EQ(acl, reinterpret_cast<PACL>(0x1));
}

TEST_F(SecurityRuntime, CaptureValidatesAndCopiesIntoPool)
{
    std::vector<uint8_t> good = DescriptorWithEverything();
    PSECURITY_DESCRIPTOR captured = nullptr;
    ASSERT_EQ(SeCaptureSecurityDescriptor(good.data(), KernelMode, PagedPool, TRUE, &captured), STATUS_SUCCESS);
    ASSERT_NE(captured, static_cast<PSECURITY_DESCRIPTOR>(good.data()));
    EXPECT_EQ(std::memcmp(captured, good.data(), good.size()), 0);
    ExFreePoolWithTag(captured, 0);

    ASSERT_EQ(SeCaptureSecurityDescriptor(good.data(), KernelMode, PagedPool, FALSE, &captured), STATUS_SUCCESS);
    EXPECT_EQ(captured, static_cast<PSECURITY_DESCRIPTOR>(good.data())) << "kernel mode without force: no copy";

    auto capture = [](std::vector<uint8_t> bytes) {
        PSECURITY_DESCRIPTOR out = nullptr;
        NTSTATUS status = SeCaptureSecurityDescriptor(bytes.data(), KernelMode, PagedPool, TRUE, &out);
        if (out != nullptr) {
            ExFreePoolWithTag(out, 0);
        }
        return status;
    };
    auto *relative = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE *>(good.data());
    std::vector<uint8_t> bad = good;
    bad[0] = 0;
    EXPECT_EQ(capture(bad), STATUS_UNKNOWN_REVISION);
    bad = good;
    bad[relative->Owner] = 2;  // SID revision
    EXPECT_EQ(capture(bad), STATUS_INVALID_SID);
    bad = good;
    bad[relative->Dacl] = 9;  // ACL revision
    EXPECT_EQ(capture(bad), STATUS_INVALID_ACL);
    bad = good;
    bad[relative->Dacl + 4] = 3;  // more ACEs than the ACL holds
    EXPECT_EQ(capture(bad), STATUS_INVALID_ACL);
    bad = good;
    reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE *>(bad.data())->Group = 4;  // inside the header
    EXPECT_EQ(capture(bad), STATUS_INVALID_SECURITY_DESCR);
}

TEST_F(SecurityRuntime, CaptureOfPoolMemoryNoticesPartsBeyondTheBlock)
{
    std::vector<uint8_t> good = DescriptorWithEverything();
    auto *block = static_cast<uint8_t *>(ExAllocatePoolWithTag(PagedPool, good.size() - 4, 'tseT'));
    std::memcpy(block, good.data(), good.size() - 4);
    PSECURITY_DESCRIPTOR captured = nullptr;
    EXPECT_EQ(SeCaptureSecurityDescriptor(block, KernelMode, PagedPool, TRUE, &captured),
              STATUS_INVALID_SECURITY_DESCR);
    EXPECT_EQ(captured, nullptr);
    EXPECT_TRUE(HasRule(TakeViolations(), "pool.overrun"));
    ExFreePoolWithTag(block, 'tseT');
}

TEST_F(SecurityRuntime, WindowsVersionDecidesTheServiceSids)
{
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x30));
    EXPECT_EQ(sim::security::SidText(SeExports->SeLocalServiceSid), "S-1-5-19");
    EXPECT_EQ(sim::security::SidText(SeExports->SeNetworkServiceSid), "S-1-5-20");
    EXPECT_EQ(sim::security::SidText(SeExports->SeAuthenticatedUsersSid), "S-1-5-11");

    sim::SetWdmVersion(1, 0x10);
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
    EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
    EXPECT_EQ(RtlLengthSid(SeExports->SeLocalSystemSid), 12u);
    RtlLengthSid(SeExports->SeNetworkServiceSid);
    EXPECT_TRUE(HasRule(TakeViolations(), "se.exports-beyond-record"));
}

TEST_F(SecurityRuntime, SnwprintfCutsAsTheKernelsRunTimeDoes)
{
    WCHAR buffer[40];
    const WCHAR *format = WIDE("{%08X-%04X-%04X-%02X%02X}");
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(_snwprintf(buffer, 40, format, 0x4D36E972u, 0xE325, 0x11CE, 0xBF, 0xC1), 25);
    EXPECT_EQ(std::u16string(buffer), u"{4D36E972-E325-11CE-BFC1}");

    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(_snwprintf(buffer, 25, format, 0x4D36E972u, 0xE325, 0x11CE, 0xBF, 0xC1), 25);
    EXPECT_EQ(buffer[25], 0x5555) << "no room: no terminator";
    EXPECT_EQ(_snwprintf(buffer, 10, format, 0x4D36E972u, 0xE325, 0x11CE, 0xBF, 0xC1), -1);
    EXPECT_EQ(_snwprintf(buffer, 40, WIDE("%d|%-4s|%u|%x|%c|%%"), -12, WIDE("ab"), 7u, 0xabu, u'z'), 17);
    EXPECT_EQ(std::u16string(buffer), u"-12|ab  |7|ab|z|%");
}

TEST_F(SecurityRuntime, WcsnicmpFoldsAsciiLettersAndStopsAtTheNul)
{
    EXPECT_EQ(_wcsnicmp(WIDE("sYx"), WIDE("SY"), 2), 0);
    EXPECT_NE(_wcsnicmp(WIDE("S"), WIDE("SY"), 2), 0);
    EXPECT_EQ(_wcsnicmp(WIDE("ab"), WIDE("AB"), 5), 0);
    EXPECT_LT(_wcsnicmp(WIDE("a"), WIDE("B"), 1), 0);
}

}  // namespace
