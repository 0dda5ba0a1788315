// The sim's registry keeps the platform's rules that drivers depend on:
// how a reply is cut to the caller's buffer, how names are resolved, and
// that handles are the kernel's to account for.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/ntstatus.h"
#include "platform/zw.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/registry.h"
#include "sim/security.h"
#include "sim/world.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;

const std::string kKeyPath = "\\Registry\\Machine\\Software\\Sim";

UNICODE_STRING Counted(const char16_t *text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, reinterpret_cast<PCWSTR>(text));
    return string;
}

class Registry : public rztest::SimTest {
protected:
    HANDLE Open(const char16_t *path, HANDLE root = nullptr, NTSTATUS *status = nullptr)
    {
        UNICODE_STRING name = Counted(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        HANDLE handle = nullptr;
        NTSTATUS result = ZwOpenKey(&handle, KEY_READ, &attributes);
        if (status != nullptr) {
            *status = result;
        }
        return handle;
    }
};

TEST_F(Registry, PartialRepliesAreCutAsThePlatformCutsThem)
{
    sim::registry::SetValue(kKeyPath, u"Data", REG_BINARY, {1, 2, 3, 4, 5, 6});
    HANDLE key = Open(u"\\Registry\\Machine\\Software\\Sim");
    UNICODE_STRING name = Counted(u"data");
    UCHAR reply[32];
    std::memset(reply, 0xCC, sizeof reply);
    ULONG needed = 0;
    auto *partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(reply);

    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, reply, 11, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 18u);
    EXPECT_EQ(reply[0], 0xCC) << "nothing written";

    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, reply, 16, &needed), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(partial->Type, ULONG{REG_BINARY});
    EXPECT_EQ(partial->DataLength, 6u);
    EXPECT_EQ(partial->Data[0], 0xCC) << "no data written";

    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, reply, 18, &needed), STATUS_SUCCESS);
    EXPECT_EQ(partial->Data[5], 6);
    ZwClose(key);
}

TEST_F(Registry, FullRepliesCarryTheNameAndAnAlignedDataOffset)
{
    sim::registry::SetValue(kKeyPath, u"Odd", REG_DWORD, {1, 0, 0, 0});
    HANDLE key = Open(u"\\Registry\\Machine\\Software\\Sim");
    UNICODE_STRING name = Counted(u"ODD");
    alignas(4) UCHAR reply[64];
    ULONG needed = 0;
    auto *full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(reply);

    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, reply, 19, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 32u) << "20 + 6 bytes of name, aligned to 28, and 4 bytes of data";
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, reply, 24, &needed), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(full->DataOffset, 28u);
    EXPECT_EQ(full->NameLength, 6u);
    EXPECT_EQ(full->Name[0], u'O') << "the name as it was set";
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, reply, 32, &needed), STATUS_SUCCESS);
    EXPECT_EQ(reply[28], 1);
    ZwClose(key);
}

TEST_F(Registry, NamesResolveAsTheObjectManagerResolvesThem)
{
    NTSTATUS status;
    EXPECT_EQ(Open(u"Registry\\Machine", nullptr, &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_PATH_SYNTAX_BAD);
    Open(u"\\Device\\Machine", nullptr, &status);
    EXPECT_EQ(status, STATUS_OBJECT_PATH_NOT_FOUND);
    Open(u"\\Registry\\Machine\\\\System", nullptr, &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);

    HANDLE machine = Open(u"\\REGISTRY\\MACHINE");
    ASSERT_NE(machine, nullptr);
    Open(u"\\System", machine, &status);
    EXPECT_EQ(status, STATUS_OBJECT_PATH_SYNTAX_BAD) << "a relative name has no leading backslash";
    HANDLE classes = Open(u"system\\currentcontrolset\\control\\class", machine);
    EXPECT_NE(classes, nullptr) << "the class root exists in every world";
    ZwClose(classes);
    ZwClose(machine);
}

TEST_F(Registry, CreatedKeysKeepTheirValidatedDescriptor)
{
    sim::security::Descriptor wanted;
    wanted.control = SE_DACL_PROTECTED;
    wanted.dacl = sim::security::Acl{ACL_REVISION, {{ACCESS_ALLOWED_ACE_TYPE, 3, GENERIC_ALL, "S-1-5-18"}}};
    std::vector<uint8_t> descriptor = sim::security::Build(wanted);

    HANDLE machine = Open(u"\\Registry\\Machine\\Software");
    UNICODE_STRING name = Counted(u"Secured");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, machine, descriptor.data());
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG{REG_CREATED_NEW_KEY});
    EXPECT_EQ(sim::registry::KeySecurity("\\Registry\\Machine\\Software\\Secured"), descriptor);
    ZwClose(key);

    descriptor[0] = 2;  // unknown revision
    name = Counted(u"Broken");
    EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition), STATUS_UNKNOWN_REVISION);
    EXPECT_FALSE(sim::registry::KeyExists("\\Registry\\Machine\\Software\\Broken"));
    ZwClose(machine);
}

TEST_F(Registry, OpenHandlesAreLeaksAndBadClosesAreCaught)
{
    HANDLE key = Open(u"\\Registry\\Machine");
    std::vector<std::string> leaks = sim::Leaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].find("\\REGISTRY\\Machine"), std::string::npos) << leaks[0];
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(HasRule(TakeViolations(), "handle.invalid"));
    EXPECT_TRUE(sim::Leaks().empty());
}

TEST_F(Registry, RegistryCallsArePassiveLevelOnly)
{
    NTSTATUS status;
    {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        ZwClose(Open(u"\\Registry\\Machine", nullptr, &status));
    }
    EXPECT_TRUE(HasRule(TakeViolations(), "irql.too-high"));
}

}  // namespace
