// Loading drivers and opening handles as the I/O manager does it, with toy
// drivers that keep or break its rules.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/io_device_object.h"
#include "platform/ndis_protocol.h"
#include "sim/client.h"
#include "sim/ndis.h"
#include "sim/driver.h"
#include "sim/security.h"
#include "sim/object_manager.h"
#include "sim/world.h"
#include "tests/support/sim_test.h"

namespace {

using sim::Account;

class DriverLoader : public rztest::SimTest {};

std::atomic<int> g_unloads{0};

VOID NTAPI CountUnload(PDRIVER_OBJECT driver)
{
    ++g_unloads;
    IoDeleteDevice(driver->DeviceObject);
}

VOID NTAPI UnloadKeepingTheDevice(PDRIVER_OBJECT)
{
    ++g_unloads;
}

NTSTATUS NTAPI CreateDevice(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, WIDE("\\Device\\toy"));
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_NETWORK, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    driver->DriverUnload = CountUnload;
    return status;
}

NTSTATUS g_openDuringEntry;

NTSTATUS NTAPI OpenItselfDuringEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    NTSTATUS status = CreateDevice(driver, path);
    sim::ClientHandle handle;
    g_openDuringEntry = sim::ClientHandle::Open(u"\\Device\\toy", Account::LocalSystem, GENERIC_READ, &handle);
    return status;
}

NTSTATUS NTAPI FailKeepingTheDevice(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    CreateDevice(driver, path);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI KeepTheDeviceAtUnload(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    NTSTATUS status = CreateDevice(driver, path);
    driver->DriverUnload = UnloadKeepingTheDevice;
    return status;
}

VOID NTAPI NoBind(PNDIS_STATUS status, NDIS_HANDLE, PNDIS_STRING, PVOID, PVOID)
{
    *status = NDIS_STATUS_NOT_ACCEPTED;
}
VOID NTAPI NoUnbind(PNDIS_STATUS status, NDIS_HANDLE, NDIS_HANDLE)
{
    *status = NDIS_STATUS_SUCCESS;
}
VOID NTAPI NoOpenComplete(NDIS_HANDLE, NDIS_STATUS, NDIS_STATUS) {}
VOID NTAPI NoCloseComplete(NDIS_HANDLE, NDIS_STATUS) {}

NTSTATUS NTAPI RegisterAndForget(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    NDIS50_PROTOCOL_CHARACTERISTICS characteristics{};
    characteristics.MajorNdisVersion = 5;
    RtlInitUnicodeString(&characteristics.Name, WIDE("toy"));
    characteristics.BindAdapterHandler = NoBind;
    characteristics.UnbindAdapterHandler = NoUnbind;
    characteristics.OpenAdapterCompleteHandler = NoOpenComplete;
    characteristics.CloseAdapterCompleteHandler = NoCloseComplete;
    NDIS_STATUS status;
    NDIS_HANDLE handle;
    NdisRegisterProtocol(&status, &handle, &characteristics, sizeof characteristics);
    return CreateDevice(driver, path);
}

// A protocol that opens every adapter and records what its unload handler finds.
struct Binder {
    NDIS_HANDLE protocol = nullptr;
    NDIS_HANDLE open = nullptr;
    std::vector<std::string> events;
};
Binder g_binder;

VOID NTAPI OpenOnBind(PNDIS_STATUS status, NDIS_HANDLE, PNDIS_STRING name, PVOID, PVOID)
{
    NDIS_STATUS error;
    UINT index;
    NDIS_MEDIUM medium = NdisMedium802_3;
    NdisOpenAdapter(status, &error, &g_binder.open, &index, &medium, 1, g_binder.protocol, &g_binder, name, 0,
                    nullptr);
}
VOID NTAPI CloseOnUnbind(PNDIS_STATUS status, NDIS_HANDLE, NDIS_HANDLE)
{
    g_binder.events.push_back("unbind");
    NdisCloseAdapter(status, g_binder.open);
}
VOID NTAPI RecordUnload()
{
    g_binder.events.push_back("unload handler");
}
VOID NTAPI DeregisterAtUnload(PDRIVER_OBJECT driver)
{
    NDIS_STATUS status;
    NdisDeregisterProtocol(&status, g_binder.protocol);
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI RegisterBinder(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    NDIS50_PROTOCOL_CHARACTERISTICS characteristics{};
    characteristics.MajorNdisVersion = 5;
    RtlInitUnicodeString(&characteristics.Name, WIDE("binder"));
    characteristics.BindAdapterHandler = OpenOnBind;
    characteristics.UnbindAdapterHandler = CloseOnUnbind;
    characteristics.OpenAdapterCompleteHandler = NoOpenComplete;
    characteristics.CloseAdapterCompleteHandler = NoCloseComplete;
    characteristics.UnloadHandler = RecordUnload;
    NDIS_STATUS status;
    NdisRegisterProtocol(&status, &g_binder.protocol, &characteristics, sizeof characteristics);
    NTSTATUS created = CreateDevice(driver, path);
    driver->DriverUnload = DeregisterAtUnload;
    return created;
}

TEST_F(DriverLoader, TheStopUnbindsEveryBindingBeforeTheProtocolsUnloadHandler)
{
    g_binder = Binder{};
    sim::Adapter first = sim::AddAdapter();
    sim::Driver driver;
    ASSERT_EQ(sim::Driver::Load(RegisterBinder, u"binder", &driver), STATUS_SUCCESS);
    ASSERT_EQ(first.OpenCount(), 1u);
    EXPECT_TRUE(driver.Stop());
    EXPECT_EQ(g_binder.events, (std::vector<std::string>{"unbind", "unload handler"}));
    EXPECT_EQ(first.OpenCount(), 0u);
}

TEST_F(DriverLoader, EveryMajorFunctionStartsAsTheDefaultAndTheServiceIsNamed)
{
    sim::Driver driver;
    ASSERT_EQ(sim::Driver::Load(OpenItselfDuringEntry, u"toy", &driver), STATUS_SUCCESS);
    EXPECT_EQ(g_openDuringEntry, STATUS_NO_SUCH_DEVICE);
    PDRIVER_OBJECT object = driver.Object();
    const UNICODE_STRING &service = object->DriverExtension->ServiceKeyName;
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(service.Buffer), service.Length / 2), u"toy");

    // No security was set: anyone may open it, and every request fails.
    sim::ClientHandle handle;
    EXPECT_EQ(sim::ClientHandle::Open(u"\\Device\\toy", Account::OrdinaryUser, GENERIC_READ, &handle),
              STATUS_INVALID_DEVICE_REQUEST);
    g_unloads = 0;
    EXPECT_TRUE(driver.Stop());
    EXPECT_EQ(g_unloads, 1);
}

TEST_F(DriverLoader, BrokenLoadsAndUnloadsAreReported)
{
    sim::Driver failed;
    EXPECT_EQ(sim::Driver::Load(FailKeepingTheDevice, u"toy", &failed), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(rztest::HasRule(TakeViolations(), "driver.load-left-device"));
    sim::ResetWorld();

    sim::Driver keeper;
    ASSERT_EQ(sim::Driver::Load(KeepTheDeviceAtUnload, u"toy", &keeper), STATUS_SUCCESS);
    keeper.Stop();
    EXPECT_TRUE(rztest::HasRule(TakeViolations(), "driver.unload-left-device"));
    sim::ResetWorld();

    sim::Driver forgetful;
    ASSERT_EQ(sim::Driver::Load(RegisterAndForget, u"toy", &forgetful), STATUS_SUCCESS);
    forgetful.Stop();
    EXPECT_TRUE(rztest::HasRule(TakeViolations(), "driver.unload-left-protocol"));
    sim::ResetWorld();
}

class AccessCheck : public rztest::SimTest {
protected:
    static std::vector<uint8_t> Sddl(const std::string &text) { return *sim::security::FromSddl(text); }
};

TEST_F(AccessCheck, WalksTheDaclInOrderWithTheFileGenericMapping)
{
    const ACCESS_MASK readWrite = GENERIC_READ | GENERIC_WRITE;
    // Generic rights in an entry are mapped before they are compared.
    EXPECT_EQ(sim::AccessCheck(Sddl("D:(A;;GA;;;BA)"), Account::Administrator, sim::kFileAllAccess),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::AccessCheck(Sddl("D:(A;;GR;;;WD)"), Account::OrdinaryUser, readWrite), STATUS_ACCESS_DENIED);
    // Allows add up across entries.
    EXPECT_EQ(sim::AccessCheck(Sddl("D:(A;;GR;;;WD)(A;;GW;;;BU)"), Account::OrdinaryUser, readWrite),
              STATUS_SUCCESS);
    // A deny before the allow wins; after it, it comes too late.
    EXPECT_EQ(sim::AccessCheck(Sddl("D:(D;;GW;;;BA)(A;;GA;;;BA)"), Account::Administrator, readWrite),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::AccessCheck(Sddl("D:(A;;GA;;;BA)(D;;GW;;;BA)"), Account::Administrator, readWrite),
              STATUS_SUCCESS);
    // An inherit-only entry is for children.
    EXPECT_EQ(sim::AccessCheck(Sddl("D:(A;IO;GA;;;BA)"), Account::Administrator, readWrite),
              STATUS_ACCESS_DENIED);
    // An empty DACL grants nothing; no DACL grants everything.
    EXPECT_EQ(sim::AccessCheck(Sddl("D:"), Account::LocalSystem, GENERIC_READ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(sim::AccessCheck(Sddl("O:BA"), Account::OrdinaryUser, GENERIC_ALL), STATUS_SUCCESS);
}

}  // namespace
