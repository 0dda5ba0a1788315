// Secure device creation through the sim: the default descriptor, the
// class overrides the registry holds, the kernel's own routine where it is
// exported, and nothing left behind when any step fails.
#include <gtest/gtest.h>

#include <cstring>

#include "devsecurity/class_settings.h"
#include "devsecurity/sddl.h"
#include "devsecurity/secure_create.h"
#include "platform/io_device_object.h"
#include "platform/zw.h"
#include "sim/client.h"
#include "sim/device_objects.h"
#include "sim/faults.h"
#include "sim/registry.h"
#include "sim/security.h"
#include "sim/security_log.h"
#include "sim/windows_version.h"
#include "sim/world.h"
#include "tests/support/secure_creation.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::DeviceSecurity;
using sim::security::Ace;

constexpr GUID kClass = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr ULONG kCapturedDescriptorTag = 'cSeS';  // "SeSc": the kernel's captured copies
constexpr ULONG kFileDeviceUnknown = 0x22;
constexpr ULONG kFileReadOnlyDevice = 0x2;

const std::vector<Ace> kSystemAllAdminsAll = {{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, "S-1-5-18"},
                                              {ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, "S-1-5-32-544"}};

std::vector<uint8_t> Bytes(const std::u16string &text)
{
    std::vector<uint8_t> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

std::vector<uint8_t> FromSddl(const std::string &sddl)
{
    auto descriptor = sim::security::FromSddl(sddl);
    EXPECT_TRUE(descriptor) << sddl;
    return descriptor.value_or(std::vector<uint8_t>{});
}

// The access each kernel handle opened to the device asked for, oldest first.
std::vector<uint32_t> AccessesAskedFor(PDEVICE_OBJECT device)
{
    std::vector<uint32_t> accesses;
    for (const sim::OpenByPointer &open : sim::OpensByPointer()) {
        if (open.object == device) {
            accesses.push_back(open.desiredAccess);
        }
    }
    return accesses;
}

UNICODE_STRING Sddl(const char16_t *text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, reinterpret_cast<PCWSTR>(text));
    return string;
}

class SecureCreation : public rztest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        rztest::StartSecureCreationLoad();
    }

    void TearDown() override
    {
        if (device != nullptr) {
            IoDeleteDevice(device);
        }
        SimTest::TearDown();
    }

    // The control device's creation, with a class when one is given.
    NTSTATUS Create(const GUID *guid, const UNICODE_STRING &sddl = SddlSystemAllAdminsAll, BOOLEAN exclusive = FALSE,
                    ULONG characteristics = FILE_DEVICE_SECURE_OPEN, bool named = true)
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, WIDE("\\Device\\rezezura"));
        device = reinterpret_cast<PDEVICE_OBJECT>(0x1);
        NTSTATUS status = SecureCreateDevice(driver.Object(), 16, named ? &name : nullptr, FILE_DEVICE_NETWORK,
                                             characteristics, exclusive, &sddl, guid, &device);
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(device, nullptr) << "a failure hands out no device";
            EXPECT_TRUE(sim::DeviceObjectLeftovers().empty()) << "and leaves none";
        }
        return status;
    }

    std::string Properties() const { return rztest::ClassKeyPath(kClass) + "\\Properties"; }

    std::vector<uint8_t> StoredSecurity() const
    {
        auto value = sim::registry::GetValue(Properties(), u"Security");
        EXPECT_TRUE(value && value->type == REG_BINARY);
        return value ? value->data : std::vector<uint8_t>{};
    }

    rztest::DriverObjectForTest driver{u"rezezura"};
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(SecureCreation, WithoutAClassTheDeviceGetsExactlyTheDefaultDaclAndTheRegistryIsUntouched)
{
    ASSERT_EQ(Create(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sim::faults::Count("ZwOpenKey") + sim::faults::Count("ZwCreateKey") +
                  sim::faults::Count("ZwSetValueKey"),
              0u);
    sim::security::Descriptor security = DeviceSecurity(device);
    ASSERT_TRUE(security.dacl);
    EXPECT_EQ(security.dacl->aces, kSystemAllAdminsAll);
    EXPECT_TRUE(security.control & SE_DACL_PROTECTED);
    EXPECT_EQ(AccessesAskedFor(device), std::vector<uint32_t>{WRITE_DAC});
    EXPECT_EQ(device->DeviceType, ULONG{FILE_DEVICE_NETWORK});
    EXPECT_EQ(device->Characteristics, ULONG{FILE_DEVICE_SECURE_OPEN});
    EXPECT_FALSE(device->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(device->DriverObject, driver.Object());
    EXPECT_EQ(driver.Object()->DeviceObject, device);
}

TEST_F(SecureCreation, AStringWithoutTheProtectedFlagLeavesTheDaclInheritable)
{
    ASSERT_EQ(Create(nullptr, Sddl(u"D:(A;;GA;;;SY)")), STATUS_SUCCESS);
    sim::security::Descriptor security = DeviceSecurity(device);
    ASSERT_TRUE(security.dacl);
    EXPECT_FALSE(security.control & SE_DACL_PROTECTED);
    EXPECT_EQ(security.dacl->aces, std::vector<Ace>{kSystemAllAdminsAll[0]});
}

TEST_F(SecureCreation, AMissingClassKeyIsCreatedNamedAfterTheServiceAndGetsTheDefault)
{
    ASSERT_EQ(Create(&kClass, SddlSystemAllAdminsAll, TRUE), STATUS_SUCCESS);
    auto className = sim::registry::GetValue(rztest::ClassKeyPath(kClass), u"Class");
    ASSERT_TRUE(className);
    EXPECT_EQ(className->type, uint32_t{REG_SZ});
    EXPECT_EQ(className->data, Bytes(std::u16string(u"rezezura\0", 9)));

    std::vector<uint8_t> classKeySecurity(ClassKeySecurity, ClassKeySecurity + CLASS_KEY_SECURITY_LENGTH);
    EXPECT_EQ(sim::registry::KeySecurity(Properties()), classKeySecurity);
    std::vector<uint8_t> stored = StoredSecurity();
    ASSERT_EQ(stored.size(), 72u);
    EXPECT_EQ(stored[2], 0x0C) << "stored with the defaulted mark";
    EXPECT_EQ(stored[3], 0x90);

    EXPECT_EQ(DeviceSecurity(device).dacl->aces, kSystemAllAdminsAll);
    EXPECT_EQ(device->DeviceType, ULONG{FILE_DEVICE_NETWORK});
    EXPECT_TRUE(device->Flags & DO_EXCLUSIVE) << "the caller's exclusive flag";
}

TEST_F(SecureCreation, TheClassKeyDescriptorIsTheSystemAloneInheritedByEverythingBelow)
{
    const std::vector<uint8_t> expected = {0x01, 0x00, 0x04, 0x94, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x02, 0x00, 0x1C, 0x00,
                                           0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x14, 0x00, 0x00, 0x00, 0x00, 0x10,
                                           0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(ClassKeySecurity, ClassKeySecurity + CLASS_KEY_SECURITY_LENGTH), expected);
    auto parsed = sim::security::Parse(expected);
    ASSERT_TRUE(parsed && parsed->dacl);
    EXPECT_EQ(parsed->dacl->aces, (std::vector<Ace>{{ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                                     GENERIC_ALL, "S-1-5-18"}}));
}

TEST_F(SecureCreation, WhenTheClassKeyDescriptorFailsItsCheckPropertiesKeysInheritForTheRestOfTheLoad)
{
    sim::faults::FailTag(kCapturedDescriptorTag);
    ASSERT_EQ(Create(&kClass), STATUS_SUCCESS);
    EXPECT_FALSE(sim::registry::KeySecurity(Properties()));
    EXPECT_EQ(ClassKeySecurityState, CLASS_KEY_SECURITY_INVALID);
    IoDeleteDevice(device);
    device = nullptr;

    sim::faults::Reset();
    sim::registry::DeleteKey(rztest::ClassKeyPath(kClass));
    ASSERT_EQ(Create(&kClass), STATUS_SUCCESS);
    EXPECT_FALSE(sim::registry::KeySecurity(Properties())) << "the check is not repeated";
}

TEST_F(SecureCreation, AClassKeyWithoutPropertiesGetsThemWithTheDefaultDescriptor)
{
    sim::registry::SetString(rztest::ClassKeyPath(kClass), u"Class", u"Net");
    ASSERT_EQ(Create(&kClass), STATUS_SUCCESS);
    EXPECT_EQ(sim::registry::GetValue(rztest::ClassKeyPath(kClass), u"Class")->data,
              Bytes(std::u16string(u"Net\0", 4)))
        << "an existing class keeps its name";
    EXPECT_EQ(StoredSecurity().size(), 72u);
    EXPECT_EQ(DeviceSecurity(device).dacl->aces, kSystemAllAdminsAll);
}

TEST_F(SecureCreation, ADescriptorStoredEarlierForTheClassGivesWayToTheCurrentDefault)
{
    PSECURITY_DESCRIPTOR earlier = nullptr;
    const UNICODE_STRING world = Sddl(u"D:P(A;;GA;;;WD)");
    ASSERT_EQ(SddlToSecurityDescriptor(&world, TRUE, &earlier), STATUS_SUCCESS);
    auto *bytes = static_cast<uint8_t *>(earlier);
    sim::registry::SetValue(Properties(), u"Security", REG_BINARY,
                            std::vector<uint8_t>(bytes, bytes + RtlLengthSecurityDescriptor(earlier)));
    ExFreePoolWithTag(earlier, 0);

    ASSERT_EQ(Create(&kClass), STATUS_SUCCESS);
    EXPECT_EQ(DeviceSecurity(device).dacl->aces, kSystemAllAdminsAll);
    EXPECT_EQ(sim::security::Parse(StoredSecurity())->dacl->aces, kSystemAllAdminsAll) << "stored again";
}

TEST_F(SecureCreation, AClassDescriptorWithoutTheMarkIsAppliedAsItStandsWithEveryPart)
{
    std::vector<uint8_t> administered = FromSddl("O:SYG:BAD:P(A;;GA;;;SY)S:(AU;SA;GA;;;WD)");
    sim::registry::SetValue(Properties(), u"Security", REG_BINARY, administered);
    sim::registry::SetDword(Properties(), u"DeviceType", kFileDeviceUnknown);

    ASSERT_EQ(Create(&kClass, Sddl(u"bogus")), STATUS_SUCCESS) << "the default string is not even parsed";
    sim::security::Descriptor security = DeviceSecurity(device);
    EXPECT_EQ(security.owner, "S-1-5-18");
    EXPECT_EQ(security.group, "S-1-5-32-544");
    EXPECT_EQ(security.dacl->aces, std::vector<Ace>{kSystemAllAdminsAll[0]});
    ASSERT_TRUE(security.sacl);
    EXPECT_EQ(security.sacl->aces.size(), 1u);
    EXPECT_EQ(AccessesAskedFor(device),
              std::vector<uint32_t>{WRITE_OWNER | WRITE_DAC | ACCESS_SYSTEM_SECURITY});
    EXPECT_EQ(device->DeviceType, ULONG{kFileDeviceUnknown});
    EXPECT_EQ(StoredSecurity(), administered) << "nothing is stored over it";
}

TEST_F(SecureCreation, ClassValuesOverrideTheCallersTypeCharacteristicsAndExclusiveFlag)
{
    // Only the low byte of "Exclusive" counts: 0x100 is not exclusive.
    sim::registry::SetDword(Properties(), u"Exclusive", 0x100);
    sim::registry::SetDword(Properties(), u"DeviceCharacteristics", FILE_DEVICE_SECURE_OPEN | kFileReadOnlyDevice);
    sim::registry::SetDword(Properties(), u"DeviceType", kFileDeviceUnknown);
    ASSERT_EQ(Create(&kClass, SddlSystemAllAdminsAll, TRUE), STATUS_SUCCESS);
    EXPECT_FALSE(device->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(device->Characteristics, ULONG{FILE_DEVICE_SECURE_OPEN | kFileReadOnlyDevice});
    EXPECT_EQ(device->DeviceType, ULONG{kFileDeviceUnknown}) << "with the default descriptor too";
    EXPECT_EQ(DeviceSecurity(device).dacl->aces, kSystemAllAdminsAll);
}

NTSTATUS NTAPI SucceedRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The class makes the device exclusive although the caller did not ask it:
// the I/O manager then lets one file at a time open it.
TEST_F(SecureCreation, AClassThatMakesTheDeviceExclusiveLetsOneFileOpenIt)
{
    sim::registry::SetDword(Properties(), u"Exclusive", 1);
    ASSERT_EQ(Create(&kClass, SddlSystemAllAdminsAll, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        driver.Object()->MajorFunction[major] = SucceedRequest;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;  // as at DriverEntry's return

    sim::ClientHandle first;
    sim::ClientHandle second;
    ASSERT_EQ(sim::ClientHandle::Open(u"\\Device\\rezezura", sim::Account::LocalSystem, GENERIC_READ, &first),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::ClientHandle::Open(u"\\Device\\rezezura", sim::Account::LocalSystem, GENERIC_READ, &second),
              STATUS_ACCESS_DENIED);
    first.Close();
    ASSERT_EQ(sim::ClientHandle::Open(u"\\Device\\rezezura", sim::Account::LocalSystem, GENERIC_READ, &second),
              STATUS_SUCCESS);
    second.Close();
}

TEST_F(SecureCreation, MalformedClassValuesFailTheCreation)
{
    struct Case {
        const char16_t *name;
        uint32_t type;
        std::vector<uint8_t> data;
        NTSTATUS status;
    };
    std::vector<uint8_t> valid = FromSddl("D:P(A;;GA;;;SY)");
    std::vector<uint8_t> beyond = valid;
    beyond[16] = 0xF0;  // the DACL's offset points past the value
    std::vector<uint8_t> absolute = valid;
    absolute[3] &= ~(SE_SELF_RELATIVE >> 8);  // offsets read as pointers
    std::vector<uint8_t> badAcl = valid;
    badAcl[20] = 9;  // ACL revision
    const Case cases[] = {
        {u"Security", REG_BINARY, {1, 0, 4, 0x80}, STATUS_INVALID_SECURITY_DESCR},
        {u"Security", REG_BINARY, beyond, STATUS_INVALID_SECURITY_DESCR},
        {u"Security", REG_BINARY, absolute, STATUS_INVALID_SECURITY_DESCR},
        {u"Security", REG_BINARY, badAcl, STATUS_INVALID_ACL},
        {u"Security", REG_SZ, valid, STATUS_OBJECT_TYPE_MISMATCH},
        {u"DeviceType", REG_SZ, Bytes(std::u16string(u"a\0", 2)), STATUS_OBJECT_TYPE_MISMATCH},
        {u"DeviceType", REG_SZ, Bytes(std::u16string(u"abc\0", 4)), STATUS_BUFFER_OVERFLOW},
        {u"Exclusive", REG_DWORD, {1}, STATUS_OBJECT_TYPE_MISMATCH},
    };
    for (const Case &c : cases) {
        sim::registry::DeleteKey(Properties());
        sim::registry::SetValue(Properties(), c.name, c.type, c.data);
        EXPECT_EQ(Create(&kClass), c.status) << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
        EXPECT_TRUE(sim::Leaks().empty());
    }
}

TEST_F(SecureCreation, TheKernelsRoutineIsUsedWhereItIsExported)
{
    sim::ExportIoCreateDeviceSecure(true);
    ASSERT_EQ(Create(&kClass), STATUS_SUCCESS);
    std::vector<sim::SecureCreationCall> calls = sim::SecureCreationCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].sddl, u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    ASSERT_TRUE(calls[0].classGuid);
    EXPECT_EQ(std::memcmp(&*calls[0].classGuid, &kClass, sizeof kClass), 0);
    EXPECT_EQ(calls[0].device, device);
    EXPECT_FALSE(sim::registry::KeyExists(rztest::ClassKeyPath(kClass))) << "the fallback never ran";
    EXPECT_EQ(DeviceSecurity(device).dacl->aces, kSystemAllAdminsAll);
}

TEST_F(SecureCreation, TheRoutineIsLookedUpOncePerLoad)
{
    ASSERT_EQ(Create(nullptr), STATUS_SUCCESS);
    IoDeleteDevice(device);
    device = nullptr;
    sim::ExportIoCreateDeviceSecure(true);
    ASSERT_EQ(Create(nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(sim::SecureCreationCalls().empty()) << "still the fallback chosen at the first creation";
}

TEST_F(SecureCreation, ANameOrAnAutogeneratedOneIsRequired)
{
    EXPECT_EQ(Create(&kClass, SddlSystemAllAdminsAll, FALSE, 0, false), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(sim::registry::KeyExists(rztest::ClassKeyPath(kClass))) << "nothing else was done";

    ASSERT_EQ(Create(nullptr, SddlSystemAllAdminsAll, FALSE, FILE_AUTOGENERATED_DEVICE_NAME, false), STATUS_SUCCESS);
    EXPECT_EQ(DeviceSecurity(device).dacl->aces, kSystemAllAdminsAll);
}

TEST_F(SecureCreation, AFailureToSecureTheDeviceDeletesIt)
{
    sim::faults::FailNth("ZwSetSecurityObject", 1);
    EXPECT_EQ(Create(nullptr), STATUS_INSUFFICIENT_RESOURCES);
    sim::faults::FailNth("ObOpenObjectByPointer", 1);
    EXPECT_EQ(Create(nullptr), STATUS_INSUFFICIENT_RESOURCES);
    sim::faults::FailNth("IoCreateDevice", 1);
    EXPECT_EQ(Create(nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Create(nullptr, Sddl(u"D:P(A;;GA;;;XX)")), STATUS_NONE_MAPPED);
}

TEST_F(SecureCreation, EveryFailingCallOnTheClassRoadLeavesNothingBehind)
{
    sim::registry::SetDword(Properties(), u"DeviceType", kFileDeviceUnknown);
    for (uint64_t nth = 1;; ++nth) {
        rztest::StartSecureCreationLoad();
        sim::registry::DeleteKey(Properties());
        sim::registry::SetDword(Properties(), u"DeviceType", kFileDeviceUnknown);
        sim::faults::Reset();
        sim::faults::FailGlobalNth(nth);
        NTSTATUS status = Create(&kClass);
        bool injected = sim::faults::Injected() != 0;
        if (NT_SUCCESS(status)) {
            IoDeleteDevice(device);
            device = nullptr;
        }
        for (const std::string &leak : sim::Leaks()) {
            ADD_FAILURE() << "failing call " << nth << ": " << leak;
        }
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_GT(nth, 10u) << "the class road makes many failable calls";
            break;
        }
    }
}

}  // namespace
