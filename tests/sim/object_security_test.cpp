// Device objects keep the security set on them through a kernel handle, part
// by part, and the kernel's own IoCreateDeviceSecure is found only where the
// sim plays a Windows that exports it.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/io_device_object.h"
#include "platform/mm_routine.h"
#include "platform/ob.h"
#include "sim/object_manager.h"
#include "sim/security.h"
#include "sim/security_log.h"
#include "sim/windows_version.h"
#include "sim/world.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;
using sim::security::Ace;

UNICODE_STRING Counted(const char16_t *text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, reinterpret_cast<PCWSTR>(text));
    return string;
}

std::vector<uint8_t> FromSddl(const std::string &sddl)
{
    auto descriptor = sim::security::FromSddl(sddl);
    EXPECT_TRUE(descriptor) << sddl;
    return descriptor.value_or(std::vector<uint8_t>{});
}

class ObjectSecurity : public rztest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        UNICODE_STRING name = Counted(u"\\Device\\Secured");
        ASSERT_EQ(IoCreateDevice(&driver, 0, &name, 0x12, 0, FALSE, &device), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        IoDeleteDevice(device);
        SimTest::TearDown();
    }

    NTSTATUS Set(SECURITY_INFORMATION information, const std::string &sddl)
    {
        HANDLE handle = nullptr;
        NTSTATUS status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC | WRITE_OWNER,
                                                IoDeviceObjectType, KernelMode, &handle);
        EXPECT_EQ(status, STATUS_SUCCESS);
        std::vector<uint8_t> descriptor = FromSddl(sddl);
        status = ZwSetSecurityObject(handle, information, descriptor.data());
        ZwClose(handle);
        return status;
    }

    sim::security::Descriptor Kept() { return *sim::security::Parse(sim::ObjectSecurity(device)); }

    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(ObjectSecurity, OnlyThePartsNamedAreReplaced)
{
    ASSERT_EQ(Set(DACL_SECURITY_INFORMATION, "O:BAD:P(A;;GA;;;SY)"), STATUS_SUCCESS);
    EXPECT_FALSE(Kept().owner) << "the owner was not named";
    EXPECT_EQ(Kept().control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED);

    ASSERT_EQ(Set(OWNER_SECURITY_INFORMATION, "O:BAD:(A;;GR;;;WD)"), STATUS_SUCCESS);
    EXPECT_EQ(Kept().owner, "S-1-5-32-544");
    EXPECT_EQ(Kept().dacl->aces, (std::vector<Ace>{{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, "S-1-5-18"}}))
        << "the DACL was not named this time";

    EXPECT_EQ(Set(GROUP_SECURITY_INFORMATION, "D:"), STATUS_INVALID_PRIMARY_GROUP);
    EXPECT_EQ(Set(OWNER_SECURITY_INFORMATION, "D:"), STATUS_INVALID_OWNER);
}

// Each part needs its own right on the handle: WRITE_OWNER for the owner and
// the group, WRITE_DAC for the DACL, ACCESS_SYSTEM_SECURITY for the SACL.
TEST_F(ObjectSecurity, EachPartNeedsItsRightOnTheHandle)
{
    std::vector<uint8_t> descriptor = FromSddl("O:BAG:SYD:P(A;;GA;;;SY)S:(AU;SA;GA;;;WD)");
    std::vector<uint8_t> before = sim::ObjectSecurity(device);
    auto setWith = [&](ACCESS_MASK access, SECURITY_INFORMATION information) {
        HANDLE handle = nullptr;
        EXPECT_EQ(ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, access, IoDeviceObjectType, KernelMode,
                                        &handle),
                  STATUS_SUCCESS);
        NTSTATUS status = ZwSetSecurityObject(handle, information, descriptor.data());
        ZwClose(handle);
        return status;
    };
    EXPECT_EQ(setWith(WRITE_DAC, OWNER_SECURITY_INFORMATION), STATUS_ACCESS_DENIED);
    EXPECT_EQ(setWith(WRITE_DAC, GROUP_SECURITY_INFORMATION), STATUS_ACCESS_DENIED);
    EXPECT_EQ(setWith(WRITE_OWNER, DACL_SECURITY_INFORMATION), STATUS_ACCESS_DENIED);
    EXPECT_EQ(setWith(WRITE_DAC | WRITE_OWNER, SACL_SECURITY_INFORMATION), STATUS_ACCESS_DENIED);
    EXPECT_EQ(setWith(WRITE_DAC, DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::ObjectSecurity(device), before) << "nothing refused was kept";

    EXPECT_EQ(setWith(WRITE_OWNER, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION), STATUS_SUCCESS);
    EXPECT_EQ(setWith(ACCESS_SYSTEM_SECURITY, SACL_SECURITY_INFORMATION), STATUS_SUCCESS);
    // Generic rights are mapped: all a file may be granted includes both.
    EXPECT_EQ(setWith(GENERIC_ALL, DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION), STATUS_SUCCESS);
    EXPECT_EQ(setWith(MAXIMUM_ALLOWED, DACL_SECURITY_INFORMATION), STATUS_SUCCESS);
    sim::security::Descriptor kept = Kept();
    EXPECT_EQ(kept.owner, "S-1-5-32-544");
    EXPECT_EQ(kept.group, "S-1-5-18");
    EXPECT_TRUE(kept.sacl && kept.dacl);
}

TEST_F(ObjectSecurity, HandlesByPointerAreKernelHandlesToLiveDevicesOnly)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, reinterpret_cast<POBJECT_TYPE>(1),
                                    KernelMode, &handle),
              STATUS_OBJECT_TYPE_MISMATCH);
    DEVICE_OBJECT stranger{};
    EXPECT_EQ(ObOpenObjectByPointer(&stranger, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, IoDeviceObjectType,
                                    KernelMode, &handle),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(HasRule(TakeViolations(), "object.unknown"));

    ASSERT_EQ(ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_OWNER, IoDeviceObjectType, KernelMode,
                                    &handle),
              STATUS_SUCCESS);
    EXPECT_NE(reinterpret_cast<uintptr_t>(handle) & 0x80000000u, 0u) << "a kernel handle";
    ASSERT_EQ(sim::OpensByPointer().size(), 1u);
    EXPECT_EQ(sim::OpensByPointer()[0].desiredAccess, WRITE_OWNER);
    auto isOpenHandle = [](const std::string &leak) { return leak.find("open handle") != std::string::npos; };
    std::vector<std::string> leaks = sim::Leaks();
    EXPECT_EQ(std::count_if(leaks.begin(), leaks.end(), isOpenHandle), 1) << "an open handle is a leak";
    ZwClose(handle);
}

TEST_F(ObjectSecurity, TheKernelsSecureCreationIsFoundOnlyWhereExported)
{
    UNICODE_STRING routine = Counted(u"IoCreateDeviceSecure");
    EXPECT_EQ(MmGetSystemRoutineAddress(&routine), nullptr);
    UNICODE_STRING other = Counted(u"IoCreateDevice");
    EXPECT_EQ(MmGetSystemRoutineAddress(&other), reinterpret_cast<PVOID>(&IoCreateDevice));

    sim::ExportIoCreateDeviceSecure(true);
    using Routine = NTSTATUS(NTAPI *)(PDRIVER_OBJECT, ULONG, PUNICODE_STRING, DEVICE_TYPE, ULONG, BOOLEAN,
                                      PCUNICODE_STRING, const GUID *, PDEVICE_OBJECT *);
    auto create = reinterpret_cast<Routine>(MmGetSystemRoutineAddress(&routine));
    ASSERT_NE(create, nullptr);
    UNICODE_STRING name = Counted(u"\\Device\\ByKernel");
    UNICODE_STRING sddl = Counted(u"D:P(A;;GA;;;SY)(A;;GR;;;WD)");
    PDEVICE_OBJECT made = nullptr;
    ASSERT_EQ(create(&driver, 8, &name, 0x12, 0, FALSE, &sddl, nullptr, &made), STATUS_SUCCESS);
    auto kept = sim::security::Parse(sim::ObjectSecurity(made));
    ASSERT_TRUE(kept && kept->dacl);
    EXPECT_EQ(kept->dacl->aces.size(), 2u);
    EXPECT_EQ(sim::SecureCreationCalls().size(), 1u);

    UNICODE_STRING broken = Counted(u"D:(X;;GA;;;SY)");
    PDEVICE_OBJECT refused = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(create(&driver, 8, &name, 0x12, 0, FALSE, &broken, nullptr, &refused), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(refused, nullptr);
    // U+0144 has the low byte of "D": wide text is not read as narrow text.
    UNICODE_STRING wide = Counted(u"\u0144:P(A;;GA;;;SY)");
    EXPECT_EQ(create(&driver, 8, &name, 0x12, 0, FALSE, &wide, nullptr, &refused), STATUS_INVALID_PARAMETER);
    UNICODE_STRING lookalike = Counted(u"IoCreateDeviceSecur\u0165");
    EXPECT_EQ(MmGetSystemRoutineAddress(&lookalike), nullptr);
    IoDeleteDevice(made);
}

TEST(SimSddl, TheFullGrammarBuildsEveryPart)
{
    auto bytes = sim::security::FromSddl("O:BAG:SYD:PAI(A;OICI;FA;;;SY)(D;;GW;;;WD)S:(AU;SAFA;0x10;;;S-1-5-7)");
    ASSERT_TRUE(bytes);
    auto parsed = sim::security::Parse(*bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->owner, "S-1-5-32-544");
    EXPECT_EQ(parsed->group, "S-1-5-18");
    EXPECT_EQ(parsed->control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED |
                                   SE_SACL_PRESENT);
    EXPECT_EQ(parsed->dacl->aces,
              (std::vector<Ace>{{ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 0x1F01FF, "S-1-5-18"},
                                {ACCESS_DENIED_ACE_TYPE, 0, GENERIC_WRITE, "S-1-1-0"}}));
    EXPECT_EQ(parsed->sacl->aces, (std::vector<Ace>{{SYSTEM_AUDIT_ACE_TYPE, 0xC0, 0x10, "S-1-5-7"}}));
    EXPECT_FALSE(sim::security::FromSddl("D:(A;;GA;;;SY"));
    EXPECT_FALSE(sim::security::FromSddl("X:"));
}

}  // namespace
