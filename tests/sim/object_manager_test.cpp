// Names of devices and links resolve as the object manager resolves them.
#include <gtest/gtest.h>

#include "platform/io_names.h"
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
