// The registry utilities against the sim's registry: names at the length
// limit, DWORD reads with their defaults, whole-value reads that need a
// second query, REG_SZ writes, and nothing left behind on any failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "devsecurity/pool_tags.h"
#include "devsecurity/registry.h"
#include "platform/ntstatus.h"
#include "sim/faults.h"
#include "sim/hooks.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "tests/support/sim_test.h"

namespace {

const std::string kKeyPath = "\\Registry\\Machine\\Software\\Rezezura";
const std::u16string kKeyName = u"\\Registry\\Machine\\Software\\Rezezura";

std::vector<uint8_t> Bytes(const std::u16string &text)
{
    std::vector<uint8_t> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

class RegistryUtilities : public rztest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::registry::CreateKey(kKeyPath);
        ASSERT_EQ(RegistryOpenKeySz(nullptr, kKeyName.c_str(), KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        ZwClose(key);
        SimTest::TearDown();
    }

    HANDLE key = nullptr;
};

TEST_F(RegistryUtilities, NamesUpTo32766CharactersReachTheRegistryAndLongerOnesDoNot)
{
    std::u16string longest(32766, u'v');
    ULONG value = 7;
    uint64_t queries = sim::faults::Count("ZwQueryValueKey");
    EXPECT_EQ(RegistryQueryDwordSz(key, longest.c_str(), 5, &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(sim::faults::Count("ZwQueryValueKey"), queries + 1);

    UNICODE_STRING counted;
    ASSERT_EQ(InitCountedStringLimited(&counted, longest.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(counted.Length, 0xFFFC);
    EXPECT_EQ(counted.MaximumLength, 0xFFFE);
    EXPECT_EQ(counted.Buffer, longest.c_str());

    std::u16string tooLong(32767, u'v');
    value = 7;
    EXPECT_EQ(RegistryQueryDwordSz(key, tooLong.c_str(), 5, &value), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(value, 7u) << "the outputs stay untouched";
    EXPECT_EQ(sim::faults::Count("ZwQueryValueKey"), queries + 1) << "nothing was read";

    HANDLE opened = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(RegistryOpenKeySz(key, tooLong.c_str(), KEY_READ, &opened), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(opened, reinterpret_cast<HANDLE>(0x1234));
    EXPECT_EQ(RegistrySetValueSz(key, tooLong.c_str(), REG_DWORD, &value, 4), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(counted.Length, 0xFFFC) << "a refused name leaves its counted form alone";
}

TEST_F(RegistryUtilities, DwordReadsGiveTheValueOrTheDefault)
{
    sim::registry::SetDword(kKeyPath, u"DeviceType", 0x22);
    ULONG value = 0;
    EXPECT_EQ(RegistryQueryDwordSz(key, u"devicetype", 9, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x22u);

    EXPECT_EQ(RegistryQueryDwordSz(key, u"Missing", 9, &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 9u);

    // A REG_SZ whose data fits the four-byte reply is of the wrong type; a
    // longer one does not fit the reply at all.
    sim::registry::SetString(kKeyPath, u"Short", u"a");
    value = 0;
    EXPECT_EQ(RegistryQueryDwordSz(key, u"Short", 9, &value), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(value, 9u);
    sim::registry::SetString(kKeyPath, u"Long", u"abc");
    value = 0;
    EXPECT_EQ(RegistryQueryDwordSz(key, u"Long", 9, &value), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(value, 9u);

    sim::registry::SetValue(kKeyPath, u"Wide", REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    value = 0;
    EXPECT_EQ(RegistryQueryDwordSz(key, u"Wide", 9, &value), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(value, 9u);
}

TEST_F(RegistryUtilities, AShortDwordHoldsNoNumberAndIsRefused)
{
    for (std::vector<uint8_t> data : {std::vector<uint8_t>{}, {0x01}, {0x01, 0x02, 0x03}}) {
        sim::registry::SetValue(kKeyPath, u"Exclusive", REG_DWORD, data);
        ULONG value = 0xAAAAAAAA;
        EXPECT_EQ(RegistryQueryDwordSz(key, u"Exclusive", 9, &value), STATUS_OBJECT_TYPE_MISMATCH)
            << data.size() << " bytes";
        EXPECT_EQ(value, 9u);
    }
}

TEST_F(RegistryUtilities, WholeValueReadWithoutHintQueriesTwice)
{
    std::vector<uint8_t> data(40);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    sim::registry::SetValue(kKeyPath, u"Security", REG_BINARY, data);
    uint64_t queries = sim::faults::Count("ZwQueryValueKey");
    PKEY_VALUE_FULL_INFORMATION information = nullptr;
    ASSERT_EQ(RegistryQueryValueSz(key, u"Security", REG_BINARY, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(sim::faults::Count("ZwQueryValueKey"), queries + 2);
    ASSERT_NE(information, nullptr);
    EXPECT_EQ(information->Type, ULONG{REG_BINARY});
    ASSERT_EQ(information->DataLength, data.size());
    EXPECT_EQ(std::memcmp(reinterpret_cast<UCHAR *>(information) + information->DataOffset, data.data(),
                          data.size()),
              0);
    EXPECT_EQ(sim::LivePoolBlockCount(REGISTRY_VALUE_TAG), 1u);
    ExFreePoolWithTag(information, 0);

    // With a hint as large as the data one query is enough.
    ASSERT_EQ(RegistryQueryValueSz(key, u"Security", 0, 40, &information), STATUS_SUCCESS);
    EXPECT_EQ(sim::faults::Count("ZwQueryValueKey"), queries + 3);
    ExFreePoolWithTag(information, 0);
}

TEST_F(RegistryUtilities, EmptyValueIsReadAtTheFirstQuery)
{
    sim::registry::SetValue(kKeyPath, u"Empty", REG_BINARY, {});
    uint64_t queries = sim::faults::Count("ZwQueryValueKey");
    PKEY_VALUE_FULL_INFORMATION information = nullptr;
    ASSERT_EQ(RegistryQueryValueSz(key, u"Empty", REG_BINARY, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(sim::faults::Count("ZwQueryValueKey"), queries + 1);
    EXPECT_EQ(information->DataLength, 0u);
    ExFreePoolWithTag(information, 0);
}

TEST_F(RegistryUtilities, WholeValueReadFailuresHandOutNothing)
{
    sim::registry::SetValue(kKeyPath, u"Security", REG_BINARY, std::vector<uint8_t>(64, 0x11));
    PKEY_VALUE_FULL_INFORMATION information = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(0x1);

    EXPECT_EQ(RegistryQueryValueSz(key, u"Security", REG_DWORD, 0, &information), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(information, nullptr);
    EXPECT_EQ(RegistryQueryValueSz(key, u"Missing", 0, 0, &information), STATUS_OBJECT_NAME_NOT_FOUND);

    for (uint64_t nth : {1, 2}) {
        sim::faults::Reset();
        sim::faults::FailNth("pool", nth);
        EXPECT_EQ(RegistryQueryValueSz(key, u"Security", 0, 0, &information), STATUS_INSUFFICIENT_RESOURCES)
            << "allocation " << nth;
        EXPECT_EQ(information, nullptr);
        sim::faults::Reset();
        sim::faults::FailNth("ZwQueryValueKey", nth);
        EXPECT_EQ(RegistryQueryValueSz(key, u"Security", 0, 0, &information), STATUS_INSUFFICIENT_RESOURCES)
            << "query " << nth;
        EXPECT_EQ(information, nullptr);
    }
    EXPECT_EQ(sim::LivePoolBlockCount(REGISTRY_VALUE_TAG), 0u);
}

TEST_F(RegistryUtilities, AValueThatGrowsBetweenTheTwoQueriesFailsWithoutAThirdAttempt)
{
    sim::registry::SetValue(kKeyPath, u"Security", REG_BINARY, std::vector<uint8_t>(16, 0x11));
    sim::SetHook("ZwQueryValueKey", [] {
        sim::SetHook("ZwQueryValueKey", [] {
            sim::registry::SetValue(kKeyPath, u"Security", REG_BINARY, std::vector<uint8_t>(32, 0x22));
        });
    });
    uint64_t queries = sim::faults::Count("ZwQueryValueKey");
    PKEY_VALUE_FULL_INFORMATION information = nullptr;
    EXPECT_EQ(RegistryQueryValueSz(key, u"Security", REG_BINARY, 0, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, nullptr);
    EXPECT_EQ(sim::faults::Count("ZwQueryValueKey"), queries + 2);
}

TEST_F(RegistryUtilities, SetStringStoresTheSameBytesWithOrWithoutRoomForTheNul)
{
    const std::vector<uint8_t> expected = Bytes(std::u16string(u"rezezura\0", 9));

    char16_t roomy[16] = u"rezezura#######";
    UNICODE_STRING withRoom{16, sizeof roomy, reinterpret_cast<PWSTR>(roomy)};
    ASSERT_EQ(RegistrySetStringSz(key, u"Class", &withRoom), STATUS_SUCCESS);
    EXPECT_EQ(roomy[8], u'\0') << "the NUL goes into the caller's buffer";
    auto stored = sim::registry::GetValue(kKeyPath, u"Class");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, uint32_t{REG_SZ});
    EXPECT_EQ(stored->data, expected);

    char16_t exact[8] = {u'r', u'e', u'z', u'e', u'z', u'u', u'r', u'a'};
    UNICODE_STRING withoutRoom{16, 16, reinterpret_cast<PWSTR>(exact)};
    ASSERT_EQ(RegistrySetStringSz(key, u"Copy", &withoutRoom), STATUS_SUCCESS);
    EXPECT_EQ(sim::registry::GetValue(kKeyPath, u"Copy")->data, expected);
    EXPECT_EQ(sim::LivePoolBlockCount(REGISTRY_STRING_TAG), 0u);

    sim::faults::FailTag(REGISTRY_STRING_TAG);
    EXPECT_EQ(RegistrySetStringSz(key, u"Failed", &withoutRoom), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(sim::registry::GetValue(kKeyPath, u"Failed"));
}

TEST_F(RegistryUtilities, SetStringRefusesWhatNoCountedStringCanHold)
{
    char16_t text[4] = {u'a', u'b', u'c', u'd'};
    UNICODE_STRING broken{8, 4, reinterpret_cast<PWSTR>(text)};
    EXPECT_EQ(RegistrySetStringSz(key, u"Broken", &broken), STATUS_INVALID_PARAMETER);

    // Text and NUL would need a MaximumLength beyond 16 bits.
    std::u16string longest(0x7FFF, u'x');
    UNICODE_STRING full{0xFFFE, 0xFFFE, longest.data()};
    EXPECT_EQ(RegistrySetStringSz(key, u"Huge", &full), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(sim::registry::GetValue(kKeyPath, u"Huge"));
}

TEST_F(RegistryUtilities, CreateKeyReportsTheDispositionOnlyWhenAsked)
{
    HANDLE created = nullptr;
    ASSERT_EQ(RegistryCreateKeySz(key, u"Child", KEY_ALL_ACCESS, 0, nullptr, nullptr, &created), STATUS_SUCCESS);
    EXPECT_NE(created, nullptr);
    EXPECT_TRUE(sim::registry::KeyExists(kKeyPath + "\\Child"));
    ZwClose(created);

    ULONG disposition = 0;
    ASSERT_EQ(RegistryCreateKeySz(key, u"CHILD", KEY_READ, 0, nullptr, &disposition, &created), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG{REG_OPENED_EXISTING_KEY});
    ZwClose(created);

    // The registry creates one level at a time.
    disposition = 7;
    created = reinterpret_cast<HANDLE>(0x1);
    EXPECT_EQ(RegistryCreateKeySz(key, u"Missing\\Grandchild", KEY_READ, 0, nullptr, &disposition, &created),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(disposition, 0u);
}

TEST_F(RegistryUtilities, OpenKeyFindsFullPathsAndRelativeNames)
{
    sim::registry::CreateKey(kKeyPath + "\\Sub");
    HANDLE opened = nullptr;
    ASSERT_EQ(RegistryOpenKeySz(nullptr, u"\\REGISTRY\\machine\\software\\REZEZURA\\sub", KEY_READ, &opened),
              STATUS_SUCCESS);
    ZwClose(opened);
    ASSERT_EQ(RegistryOpenKeySz(key, u"Sub", KEY_READ, &opened), STATUS_SUCCESS);
    ZwClose(opened);

    opened = reinterpret_cast<HANDLE>(0x1);
    EXPECT_EQ(RegistryOpenKeySz(key, u"Absent", KEY_READ, &opened), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(opened, nullptr);
    sim::faults::FailNth("ZwOpenKey", 1);
    EXPECT_EQ(RegistryOpenKeySz(key, u"Sub", KEY_READ, &opened), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(opened, nullptr);
    EXPECT_EQ(sim::registry::OpenKeyHandles(), 1u) << "only the fixture's key";
}

}  // namespace
