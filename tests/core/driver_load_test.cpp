// Loading and unloading the whole driver: what DriverEntry leaves in place,
// how each failure of the load is undone, and the stop in the order the
// stack and the I/O manager follow.
#include <gtest/gtest.h>

#include "bindings/binding.h"
#include "core/driver.h"
#include "platform/io.h"
#include "platform/io_device_object.h"
#include "sim/faults.h"
#include "sim/ndis.h"
#include "sim/object_manager.h"
#include "sim/security.h"
#include "sim/world.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/secure_creation.h"

namespace {

using rztest::kDevicePath;
using rztest::LoadedDriverTest;

class DriverLoad : public LoadedDriverTest {};

TEST_F(DriverLoad, LeavesTheSecuredDeviceItsLinkAndTheDispatchTable)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = Driver().Object();
    ASSERT_NE(ControlDeviceObject, nullptr);
    EXPECT_EQ(driver->DeviceObject, ControlDeviceObject);
    EXPECT_EQ(ControlDeviceObject->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_NETWORK));
    EXPECT_EQ(ControlDeviceObject->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_TRUE(ControlDeviceObject->Flags & DO_DIRECT_IO);
    EXPECT_EQ(sim::FindDeviceByName(u"\\Device\\rezezura"), ControlDeviceObject);
    std::optional<sim::ResolvedName> viaLink = sim::ResolveName(u"\\DosDevices\\rezezura");
    ASSERT_TRUE(viaLink);
    EXPECT_EQ(viaLink->device, ControlDeviceObject);

    std::optional<sim::security::Descriptor> security = sim::security::Parse(sim::ObjectSecurity(ControlDeviceObject));
    ASSERT_TRUE(security && security->dacl);
    EXPECT_TRUE(security->control & SE_DACL_PROTECTED);
    std::vector<sim::security::Ace> expected = {{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, "S-1-5-18"},
                                                {ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, "S-1-5-32-544"}};
    EXPECT_EQ(security->dacl->aces, expected);

    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &RelayDispatchCreate);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], &RelayDispatchClose);
    EXPECT_EQ(driver->DriverUnload, &RelayDriverUnload);
}

TEST_F(DriverLoad, BindsTheEthernetAdaptersAlreadyPresentAndRefusesOtherMedia)
{
    // These binds arrive inside the registration, before the dispatch table
    // is in place; each needs only the device context.
    sim::Adapter first = AddAdapter(u"\\Device\\{NIC-1}");
    sim::Adapter ring = AddAdapter(u"\\Device\\{RING}", NdisMedium802_5);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(first.LatestBind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(ring.LatestBind().Result(), NDIS_STATUS_UNSUPPORTED_MEDIA);

    sim::Adapter later = AddAdapter(u"\\Device\\{NIC-2}");
    EXPECT_EQ(later.LatestBind().Result(), NDIS_STATUS_SUCCESS);
    // Both are usable through a handle.
    AttachedHandle(first);
    AttachedHandle(later);
}

TEST_F(DriverLoad, EachFailureUndoesWhatWasDoneAndLeavesNoDevice)
{
    struct Case {
        const char *what;
        void (*arrange)();
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"device creation", [] { sim::faults::FailNth("IoCreateDevice", 1); }, STATUS_INSUFFICIENT_RESOURCES},
        {"link creation", [] { sim::faults::FailNth("IoCreateSymbolicLink", 1); }, STATUS_INSUFFICIENT_RESOURCES},
        // An NDIS 4 stack refuses a 5.0 protocol; the load reports it in
        // the NDIS facility of NTSTATUS.
        {"registration", [] { sim::SetStackNdisVersion(4, 0); }, static_cast<NTSTATUS>(0xC0230004)},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        sim::Adapter nic = AddAdapter(u"\\Device\\{NIC}");
        test.arrange();
        rztest::StartSecureCreationLoad();
        sim::Driver driver;
        EXPECT_EQ(sim::Driver::Load(DriverEntry, u"rezezura", &driver), test.expected);
        EXPECT_EQ(ControlDeviceObject, nullptr);
        EXPECT_EQ(sim::FindDeviceByName(u"\\Device\\rezezura"), nullptr);
        EXPECT_FALSE(sim::ResolveName(u"\\DosDevices\\rezezura"));
        EXPECT_FALSE(nic.LatestBind().handlerReturned);
        for (const std::string &leak : sim::Leaks()) {
            ADD_FAILURE() << leak;
        }
        sim::ResetWorld();
    }
}

TEST_F(DriverLoad, UnloadWaitsForTheLastHandleAfterTheStackUnbinds)
{
    sim::Adapter nic = AddAdapter(u"\\Device\\{NIC}");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::ClientHandle handle = AttachedHandle(nic);
    sim::Request read = handle.Read(1514);

    // The stack unbinds first: the pending read goes with the binding, but
    // the handle keeps the device, so the driver stays loaded.
    EXPECT_FALSE(Driver().Stop());
    EXPECT_EQ(nic.LatestUnbind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(rztest::FinalStatusOf(read), STATUS_DEVICE_REMOVED);
    EXPECT_FALSE(Driver().Unloaded());
    EXPECT_NE(ControlDeviceObject, nullptr);

    handle.Close();
    EXPECT_TRUE(Driver().WaitUnloaded());
    EXPECT_EQ(ControlDeviceObject, nullptr);
    EXPECT_EQ(sim::FindDeviceByName(u"\\Device\\rezezura"), nullptr);
    EXPECT_FALSE(sim::ResolveName(u"\\DosDevices\\rezezura"));
}

TEST_F(DriverLoad, AnUnsupportedMajorFunctionIsAnInvalidDeviceRequest)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::ClientHandle handle = OpenDevice();
    sim::Request flush(IRP_MJ_FLUSH_BUFFERS, handle.FileObject());
    EXPECT_EQ(flush.Dispatch(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(flush.FinalStatus().Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(flush.FinalStatus().Information, 0u);
}

}  // namespace
