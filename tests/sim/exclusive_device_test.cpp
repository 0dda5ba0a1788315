// An exclusive device (DO_EXCLUSIVE) takes one file at a time: while a file
// is open on it, the I/O manager refuses every other open, by any name below
// the device, with STATUS_ACCESS_DENIED before the driver sees a create. The
// file counts until its IRP_MJ_CLOSE, which a pending request holds back.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/io_device_object.h"
#include "sim/client.h"
#include "sim/driver.h"
#include "sim/tokens.h"
#include "tests/support/sim_test.h"

namespace {

using sim::Account;

std::atomic<int> g_creates{0};
std::atomic<bool> g_exclusive{true};
std::atomic<PIRP> g_heldRead{nullptr};

NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
        ++g_creates;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Keeps the read pending until the test completes it.
NTSTATUS NTAPI HoldRead(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    g_heldRead = irp;
    return STATUS_PENDING;
}

VOID NTAPI DeleteDevice(PDRIVER_OBJECT driver)
{
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI CreateDevice(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, WIDE("\\Device\\only"));
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_NETWORK, 0, g_exclusive, &device);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP}) {
        driver->MajorFunction[major] = Succeed;
    }
    driver->MajorFunction[IRP_MJ_READ] = HoldRead;
    driver->DriverUnload = DeleteDevice;
    return status;
}

class ExclusiveDevice : public rztest::SimTest {
protected:
    void Load(bool exclusive)
    {
        g_creates = 0;
        g_exclusive = exclusive;
        g_heldRead = nullptr;
        ASSERT_EQ(sim::Driver::Load(CreateDevice, u"only", &driver_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        EXPECT_TRUE(sim::WaitForDeferredCloses());
        EXPECT_TRUE(driver_.Stop());
        SimTest::TearDown();
    }

    static NTSTATUS Open(const std::u16string &name, sim::ClientHandle *handle)
    {
        return sim::ClientHandle::Open(name, Account::LocalSystem, GENERIC_READ, handle);
    }

    sim::Driver driver_;
};

TEST_F(ExclusiveDevice, ASecondOpenIsRefusedUntilTheFirstFileCloses)
{
    Load(true);
    sim::ClientHandle first;
    ASSERT_EQ(Open(u"\\Device\\only", &first), STATUS_SUCCESS);
    sim::ClientHandle second;
    EXPECT_EQ(Open(u"\\Device\\only", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\Device\\only\\other", &second), STATUS_ACCESS_DENIED) << "whatever the name below it";
    EXPECT_EQ(g_creates, 1) << "the driver saw no create for a refused open";

    first.Close();
    ASSERT_EQ(Open(u"\\Device\\only\\other", &second), STATUS_SUCCESS);
    EXPECT_EQ(g_creates, 2);
    second.Close();
}

TEST_F(ExclusiveDevice, AFileWhoseCloseWaitsForARequestStillHoldsTheDevice)
{
    Load(true);
    sim::ClientHandle first;
    ASSERT_EQ(Open(u"\\Device\\only", &first), STATUS_SUCCESS);
    sim::Request read = first.Read(16);
    ASSERT_NE(g_heldRead.load(), nullptr);
    first.Close();

    sim::ClientHandle second;
    EXPECT_EQ(Open(u"\\Device\\only", &second), STATUS_ACCESS_DENIED) << "the file object is still there";
    PIRP held = g_heldRead.exchange(nullptr);
    held->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(held, IO_NO_INCREMENT);
    ASSERT_TRUE(sim::WaitForDeferredCloses());
    ASSERT_EQ(Open(u"\\Device\\only", &second), STATUS_SUCCESS);
    second.Close();
}

TEST_F(ExclusiveDevice, ADeviceThatIsNotExclusiveTakesManyFiles)
{
    Load(false);
    sim::ClientHandle one;
    sim::ClientHandle two;
    ASSERT_EQ(Open(u"\\Device\\only", &one), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\Device\\only", &two), STATUS_SUCCESS);
    one.Close();
    two.Close();
}

}  // namespace
