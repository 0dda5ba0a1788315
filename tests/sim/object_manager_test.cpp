// Names of devices and links resolve as the object manager resolves them.
#include <gtest/gtest.h>

#include "platform/io_device_object.h"
#include "platform/io_names.h"
#include "sim/faults.h"
#include "sim/object_manager.h"
#include "sim/world.h"
#include "tests/support/sim_test.h"

namespace {

class NameSpace : public rztest::SimTest {};

UNICODE_STRING Counted(const char16_t *text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(text));
    return s;
}

TEST_F(NameSpace, LinksLeadToTheDeviceAndKeepWhatLiesBelow)
{
    DEVICE_OBJECT device{};
    ASSERT_EQ(sim::InsertDeviceName(u"\\Device\\rezezura", &device), STATUS_SUCCESS);
    EXPECT_EQ(sim::InsertDeviceName(u"\\DEVICE\\REZEZURA", &device), STATUS_OBJECT_NAME_COLLISION);
    UNICODE_STRING link = Counted(u"\\DosDevices\\rezezura");
    UNICODE_STRING target = Counted(u"\\Device\\rezezura");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);

    auto direct = sim::ResolveName(u"\\device\\Rezezura");
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->device, &device);
    EXPECT_TRUE(direct->remainder.empty());
    auto viaLink = sim::ResolveName(u"\\??\\rezezura\\below");
    ASSERT_TRUE(viaLink);
    EXPECT_EQ(viaLink->device, &device);
    EXPECT_EQ(viaLink->remainder, u"\\BELOW");
    EXPECT_FALSE(sim::ResolveName(u"\\??\\rezezur"));
    EXPECT_FALSE(sim::ResolveName(u"\\Device\\rezezuraX"));

    EXPECT_EQ(sim::NameSpaceLeftovers().size(), 2u);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    sim::RemoveDeviceName(&device);
    EXPECT_FALSE(sim::ResolveName(u"\\Device\\rezezura"));
}

}  // namespace

namespace {

TEST_F(NameSpace, DevicesJoinTheirDriverAndTheNameSpaceUntilDeleted)
{
    DRIVER_OBJECT driver{};
    UNICODE_STRING name = Counted(u"\\Device\\rezezura");
    PDEVICE_OBJECT first = nullptr;
    ASSERT_EQ(IoCreateDevice(&driver, 12, &name, FILE_DEVICE_NETWORK, FILE_DEVICE_SECURE_OPEN, FALSE, &first),
              STATUS_SUCCESS);
    EXPECT_EQ(driver.DeviceObject, first);
    EXPECT_EQ(first->DeviceExtension, static_cast<void *>(first + 1));
    EXPECT_TRUE(first->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(first->Characteristics, FILE_DEVICE_SECURE_OPEN);

    PDEVICE_OBJECT clash = first;
    EXPECT_EQ(IoCreateDevice(&driver, 0, &name, FILE_DEVICE_NETWORK, 0, FALSE, &clash),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(clash, nullptr);
    PDEVICE_OBJECT unnamed = nullptr;
    ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_NETWORK, 0, TRUE, &unnamed), STATUS_SUCCESS);
    EXPECT_EQ(driver.DeviceObject, unnamed);
    EXPECT_EQ(unnamed->NextDevice, first);
    EXPECT_TRUE(unnamed->Flags & DO_EXCLUSIVE);

    sim::faults::FailNth("IoCreateDevice", 1);
    PDEVICE_OBJECT failed = nullptr;
    EXPECT_EQ(IoCreateDevice(&driver, 0, nullptr, 0, 0, FALSE, &failed), STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(sim::Leaks().size(), 3u);  // two devices and one name
    IoDeleteDevice(first);
    EXPECT_EQ(driver.DeviceObject, unnamed);
    EXPECT_EQ(unnamed->NextDevice, nullptr);
    EXPECT_FALSE(sim::ResolveName(u"\\Device\\rezezura"));
    IoDeleteDevice(unnamed);
    EXPECT_EQ(driver.DeviceObject, nullptr);
}

}  // namespace
