// SDDL strings of the supported subset become self-relative descriptors;
// everything else is refused with its own status and nothing allocated.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devsecurity/pool_tags.h"
#include "devsecurity/sddl.h"
#include "platform/ex.h"
#include "sim/faults.h"
#include "sim/pool.h"
#include "sim/security.h"
#include "sim/world.h"
#include "sim/windows_version.h"
#include "tests/support/sim_test.h"

namespace {

using sim::security::Ace;

constexpr uint32_t kGenericReadExecute = GENERIC_READ | GENERIC_EXECUTE;

struct Conversion {
    NTSTATUS status;
    std::vector<uint8_t> bytes;  // the whole pool block handed out
};

// Hands the descriptor's block back to the pool and keeps its bytes.
std::vector<uint8_t> TakeDescriptor(PSECURITY_DESCRIPTOR descriptor)
{
    size_t size = sim::PoolBytesFrom(descriptor).value_or(0);
    EXPECT_EQ(RtlLengthSecurityDescriptor(descriptor), size) << "the block is exactly the descriptor";
    auto *bytes = static_cast<uint8_t *>(descriptor);
    std::vector<uint8_t> copy(bytes, bytes + size);
    ExFreePoolWithTag(descriptor, 0);
    return copy;
}

Conversion ConvertCounted(UNICODE_STRING sddl, bool mark = true)
{
    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1);
    NTSTATUS status = SddlToSecurityDescriptor(&sddl, mark, &descriptor);
    if (!NT_SUCCESS(status)) {
        EXPECT_EQ(descriptor, nullptr) << "a failure hands out NULL";
        return {status, {}};
    }
    return {status, TakeDescriptor(descriptor)};
}

// The string as a terminated counted string (converted in place).
Conversion Convert(std::u16string sddl, bool mark = true)
{
    USHORT length = static_cast<USHORT>(sddl.size() * 2);
    return ConvertCounted(UNICODE_STRING{length, static_cast<USHORT>(length + 2), sddl.data()}, mark);
}

NTSTATUS StatusOf(const std::u16string &sddl)
{
    return Convert(sddl).status;
}

std::vector<Ace> DaclOf(const std::u16string &sddl)
{
    Conversion conversion = Convert(sddl);
    EXPECT_EQ(conversion.status, STATUS_SUCCESS);
    auto descriptor = sim::security::Parse(conversion.bytes);
    if (!descriptor || !descriptor->dacl) {
        ADD_FAILURE() << "no valid descriptor with a DACL";
        return {};
    }
    return descriptor->dacl->aces;
}

uint32_t MaskOf(const std::u16string &rights)
{
    std::vector<Ace> aces = DaclOf(u"D:(A;;" + rights + u";;;WD)");
    return aces.size() == 1 ? aces[0].mask : 0xDEADBEEF;
}

Ace Allow(uint32_t mask, const char *sid)
{
    return Ace{ACCESS_ALLOWED_ACE_TYPE, 0, mask, sid};
}

class Sddl : public rztest::SimTest {};

TEST_F(Sddl, TheDriversOwnStringGivesExactlyTheseSeventyTwoBytes)
{
    const std::vector<uint8_t> expected = {
        0x01, 0x00, 0x0C, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // header: control 0x900C
        0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00,                          // no SACL, DACL at 20
        0x02, 0x00, 0x34, 0x00, 0x02, 0x00, 0x00, 0x00,                          // ACL: 52 bytes, 2 ACEs
        0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x10,                          // allow GA, 20 bytes
        0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,  // S-1-5-18
        0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x10,                          // allow GA, 24 bytes
        0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00,  // S-1-5-32-544
        0x20, 0x02, 0x00, 0x00,
    };
    Conversion conversion = ConvertCounted(SddlSystemAllAdminsAll, true);
    ASSERT_EQ(conversion.status, STATUS_SUCCESS);
    EXPECT_EQ(conversion.bytes, expected);

    // Without the mark only SE_DACL_DEFAULTED is missing.
    conversion = ConvertCounted(SddlSystemAllAdminsAll, false);
    ASSERT_EQ(conversion.bytes.size(), 72u);
    EXPECT_EQ(conversion.bytes[2], 0x04);
    EXPECT_EQ(conversion.bytes[3], 0x90);
}

TEST_F(Sddl, AnEmptyDaclGrantsNothingProtectedOrNot)
{
    for (auto [sddl, control] : {std::pair{u"D:", 0x800C}, std::pair{u"D:P", 0x900C}, std::pair{u"  D:   ", 0x800C}}) {
        Conversion conversion = Convert(sddl);
        ASSERT_EQ(conversion.status, STATUS_SUCCESS);
        auto descriptor = sim::security::Parse(conversion.bytes);
        ASSERT_TRUE(descriptor && descriptor->dacl);
        EXPECT_EQ(descriptor->control, control);
        EXPECT_TRUE(descriptor->dacl->aces.empty());
        EXPECT_EQ(conversion.bytes.size(), 28u);
        EXPECT_FALSE(descriptor->owner || descriptor->group || descriptor->sacl);
    }
}

TEST_F(Sddl, SpacesAreSkippedAndNothingElse)
{
    std::vector<Ace> expected = {Allow(GENERIC_ALL | GENERIC_READ, "S-1-5-18"), Allow(GENERIC_ALL, "S-1-5-32-544")};
    EXPECT_EQ(DaclOf(u"  D:P ( A; ;  GA GR; ; ; SY ) (A;;GA;;;BA)  "), expected);
    // Each right may be preceded by spaces, but the field ends at its ";".
    EXPECT_EQ(StatusOf(u"D:(A;;GA ;;;SY)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(StatusOf(u"\tD:P(A;;GA;;;SY)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(StatusOf(u"D:P(A;;\tGA;;;SY)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(StatusOf(u"D:P(A;;GA;;;\tSY)"), STATUS_NONE_MAPPED);
}

TEST_F(Sddl, LettersOfTypesRightsAndTrusteesMayBeLowerCaseButNotTheSectionOrFlag)
{
    EXPECT_EQ(DaclOf(u"D:P(a;;ga;;;sy)"), std::vector<Ace>{Allow(GENERIC_ALL, "S-1-5-18")});
    EXPECT_EQ(StatusOf(u"d:P(A;;GA;;;SY)"), STATUS_INVALID_PARAMETER);
    // A lower-case "p" is no flag: the list then starts with it.
    EXPECT_EQ(StatusOf(u"D:p(A;;GA;;;SY)"), STATUS_INVALID_PARAMETER);
}

TEST_F(Sddl, NumbersReplaceTheMaskAndAliasesAddToIt)
{
    EXPECT_EQ(MaskOf(u"0x1F01FF"), 0x001F01FFu);
    EXPECT_EQ(MaskOf(u"0X1f01ff"), 0x001F01FFu);
    EXPECT_EQ(MaskOf(u"FA"), 0xFAu) << "hexadecimal without prefix";
    EXPECT_EQ(MaskOf(u"010"), 10u) << "a leading 0 is not octal";
    EXPECT_EQ(MaskOf(u"GA10"), 10u);
    EXPECT_EQ(MaskOf(u"10GA"), 0x1000000Au);
    EXPECT_EQ(MaskOf(u"4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(MaskOf(u"0xFFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(MaskOf(u"RCWDWOSD"), READ_CONTROL | WRITE_DAC | WRITE_OWNER | DELETE);
    EXPECT_EQ(MaskOf(u""), 0u) << "an empty rights field";
    EXPECT_EQ(StatusOf(u"D:(A;;4294967296;;;WD)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(StatusOf(u"D:(A;;0x100000000;;;WD)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(StatusOf(u"D:(A;;0x;;;WD)"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(StatusOf(u"D:(A;;GAXY;;;WD)"), STATUS_INVALID_PARAMETER);
}

TEST_F(Sddl, EachRefusalHasItsOwnStatus)
{
    const std::pair<const char16_t *, NTSTATUS> cases[] = {
        {u"", STATUS_INVALID_PARAMETER},
        {u"D", STATUS_INVALID_PARAMETER},
        {u"D::", STATUS_INVALID_PARAMETER},
        {u"D:P:", STATUS_INVALID_PARAMETER},
        {u"D:xyz", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;CI;GA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(D;;GA;;;WD)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;x;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;x;SY)", STATUS_INVALID_PARAMETER},
        {u"D:(A;;GA;;;S-1-5-18)", STATUS_NONE_MAPPED},
        {u"D:(A;;GA;;;XX)", STATUS_NONE_MAPPED},
        {u"D:(A;;GA;;;SY", STATUS_INVALID_ACL},
        {u"D:(A;;GA;;;SY]", STATUS_INVALID_ACL},
        {u"O:SYD:P(A;;GA;;;SY)", STATUS_INVALID_PARAMETER},
        {u"D:P(A;;GA;;;SY)S:", STATUS_INVALID_PARAMETER},
        {u"D:P(A;;GA;;;SY)S:(AU;SA;GA;;;WD)", STATUS_INVALID_PARAMETER},
    };
    for (const auto &[sddl, status] : cases) {
        EXPECT_EQ(StatusOf(sddl), status) << std::string(sddl, sddl + std::char_traits<char16_t>::length(sddl));
    }
}

TEST_F(Sddl, TextAfterTheLastAceIsNotExamined)
{
    EXPECT_EQ(DaclOf(u"D:P(A;;GA;;;SY)xyz"), std::vector<Ace>{Allow(GENERIC_ALL, "S-1-5-18")});
    EXPECT_EQ(DaclOf(u"D:P(A;;GA;;;SY) ( xyz"), std::vector<Ace>{Allow(GENERIC_ALL, "S-1-5-18")});
}

TEST_F(Sddl, ServiceAccountsAreLeftOutWhereTheSystemLacksThem)
{
    const std::u16string sddl = u"D:P(A;;GA;;;LS)(A;;GA;;;SY)(A;;GR;;;NS)";
    EXPECT_EQ(DaclOf(sddl), (std::vector<Ace>{Allow(GENERIC_ALL, "S-1-5-19"), Allow(GENERIC_ALL, "S-1-5-18"),
                                              Allow(GENERIC_READ, "S-1-5-20")}));
    sim::SetWdmVersion(1, 0x10);
    EXPECT_EQ(DaclOf(sddl), std::vector<Ace>{Allow(GENERIC_ALL, "S-1-5-18")});
}

TEST_F(Sddl, TrusteesAreTheSystemsOwnSids)
{
    PSID sid = nullptr;
    const char16_t *text = u"sY)";
    PCWSTR end = nullptr;
    ASSERT_EQ(SddlLookupSid(reinterpret_cast<PCWSTR>(text), &sid, &end), STATUS_SUCCESS);
    EXPECT_EQ(sid, SeExports->SeLocalSystemSid) << "not a copy";
    EXPECT_EQ(end, reinterpret_cast<PCWSTR>(text) + 2);

    const char16_t *unknown = u"ZZ)";
    sid = reinterpret_cast<PSID>(0x1);
    EXPECT_EQ(SddlLookupSid(reinterpret_cast<PCWSTR>(unknown), &sid, &end), STATUS_NONE_MAPPED);
    EXPECT_EQ(sid, nullptr);
    EXPECT_EQ(end, reinterpret_cast<PCWSTR>(text) + 2) << "the end is left alone";
}

TEST_F(Sddl, UnterminatedStringsAreConvertedFromACopy)
{
    const std::vector<uint8_t> twin = Convert(u"D:P(A;;GA;;;SY)").bytes;
    std::u16string buffer = u"D:P(A;;GA;;;SY)XXXX";
    USHORT length = 15 * 2;
    EXPECT_EQ(ConvertCounted(UNICODE_STRING{length, length, buffer.data()}).bytes, twin);
    EXPECT_EQ(ConvertCounted(UNICODE_STRING{length, static_cast<USHORT>(length + 8), buffer.data()}).bytes, twin);
    EXPECT_EQ(sim::LivePoolBlockCount(SDDL_TERMINATED_COPY_TAG), 0u);

    // Only the unterminated string needs the copy.
    sim::faults::FailTag(SDDL_TERMINATED_COPY_TAG);
    EXPECT_EQ(ConvertCounted(UNICODE_STRING{length, length, buffer.data()}).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Convert(u"D:P(A;;GA;;;SY)").bytes, twin);
}

TEST_F(Sddl, BrokenCountedStringsAreRefused)
{
    std::u16string text = u"D:P";
    EXPECT_EQ(ConvertCounted(UNICODE_STRING{8, 6, text.data()}).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ConvertCounted(UNICODE_STRING{6, 8, nullptr}).status, STATUS_INVALID_PARAMETER);
    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1);
    EXPECT_EQ(SddlToSecurityDescriptor(nullptr, TRUE, &descriptor), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(descriptor, nullptr);
}

TEST_F(Sddl, ThePredefinedStringsGrantWhatTheirNamesSay)
{
    const Ace systemAll = Allow(GENERIC_ALL, "S-1-5-18");
    const Ace adminsRwx = Allow(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, "S-1-5-32-544");
    const Ace worldRead = Allow(GENERIC_READ, "S-1-1-0");
    const Ace restrictedRead = Allow(GENERIC_READ, "S-1-5-12");
    const std::pair<const UNICODE_STRING *, std::vector<Ace>> cases[] = {
        {&SddlProtectedEmpty, {}},
        {&SddlSystemAll, {systemAll}},
        {&SddlSystemAllAdminsAll, {systemAll, Allow(GENERIC_ALL, "S-1-5-32-544")}},
        {&SddlSystemAllAdminsRx, {systemAll, Allow(kGenericReadExecute, "S-1-5-32-544")}},
        {&SddlSystemAllAdminsRwxWorldR, {systemAll, adminsRwx, worldRead}},
        {&SddlSystemAllAdminsRwxWorldRRestrictedR, {systemAll, adminsRwx, worldRead, restrictedRead}},
        {&SddlSystemAllAdminsRwxWorldRwRestrictedR,
         {systemAll, adminsRwx, Allow(GENERIC_READ | GENERIC_WRITE, "S-1-1-0"), restrictedRead}},
        {&SddlSystemAllAdminsWorldRestrictedRwx,
         {systemAll, adminsRwx, Allow(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, "S-1-1-0"),
          Allow(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, "S-1-5-12")}},
    };
    for (const auto &[string, aces] : cases) {
        EXPECT_EQ(string->MaximumLength, string->Length + 2);
        EXPECT_EQ(string->Buffer[string->Length / 2], 0);
        Conversion conversion = ConvertCounted(*string);
        ASSERT_EQ(conversion.status, STATUS_SUCCESS);
        auto descriptor = sim::security::Parse(conversion.bytes);
        ASSERT_TRUE(descriptor && descriptor->dacl);
        EXPECT_EQ(descriptor->control, SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_PRESENT | SE_DACL_DEFAULTED);
        EXPECT_EQ(descriptor->dacl->aces, aces);
    }
}

TEST_F(Sddl, EveryFailedAllocationFailsTheConversionAndLeavesNothing)
{
    const std::u16string sddl = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
    std::u16string unterminated = sddl + u"!";
    UNICODE_STRING counted{static_cast<USHORT>(sddl.size() * 2), static_cast<USHORT>(sddl.size() * 2),
                           unterminated.data()};
    for (uint64_t nth = 1; nth <= 3; ++nth) {
        sim::faults::Reset();
        sim::faults::FailNth("pool", nth);
        EXPECT_EQ(ConvertCounted(counted).status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << nth;
        EXPECT_TRUE(sim::Leaks().empty());
    }
    sim::faults::Reset();
    sim::faults::FailNth("pool", 4);
    EXPECT_EQ(ConvertCounted(counted).status, STATUS_SUCCESS) << "three allocations in all";
}

TEST_F(Sddl, AnAclBeyondSixtyFourKilobytesFails)
{
    // 2731 ACEs of 24 bytes need more than 0xFFFF bytes; 2731 of 20 bytes do not.
    std::u16string admins = u"D:";
    std::u16string world = u"D:";
    for (int i = 0; i < 2731; ++i) {
        admins += u"(A;;GA;;;BA)";
        world += u"(A;;GA;;;WD)";
    }
    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1);
    EXPECT_EQ(SddlStringToSecurityDescriptor(reinterpret_cast<PCWSTR>(admins.c_str()), TRUE, &descriptor),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(descriptor, nullptr);
    ASSERT_EQ(SddlStringToSecurityDescriptor(reinterpret_cast<PCWSTR>(world.c_str()), TRUE, &descriptor),
              STATUS_SUCCESS);
    std::vector<uint8_t> bytes = TakeDescriptor(descriptor);
    EXPECT_EQ(bytes.size(), 20u + 8 + 2731 * 20);
}

TEST_F(Sddl, AppendingToAFullAclGrowsItForTheAcesStillToCome)
{
    PACL acl = static_cast<PACL>(ExAllocatePoolWithTag(PagedPool, sizeof(ACL), SDDL_ACL_TAG));
    *acl = ACL{ACL_REVISION, 0, sizeof(ACL), 0, 0};
    ULONG used = sizeof(ACL);

    sim::faults::FailTag(SDDL_ACL_TAG);
    PACL before = acl;
    EXPECT_EQ(SddlAppendAce(&acl, &used, GENERIC_ALL, 3, SeExports->SeLocalSystemSid),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(acl, before);
    EXPECT_EQ(used, sizeof(ACL));
    sim::faults::Reset();

    ASSERT_EQ(SddlAppendAce(&acl, &used, GENERIC_ALL, 3, SeExports->SeLocalSystemSid), STATUS_SUCCESS);
    EXPECT_EQ(acl->AclSize, 8 + 3 * 20);
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_EQ(used, 28u);
    ASSERT_EQ(SddlAppendAce(&acl, &used, GENERIC_READ, 2, SeExports->SeWorldSid), STATUS_SUCCESS);
    EXPECT_EQ(acl->AclSize, 68) << "room was left for it";
    EXPECT_EQ(used, 48u);
    ExFreePoolWithTag(acl, SDDL_ACL_TAG);
}

}  // namespace
