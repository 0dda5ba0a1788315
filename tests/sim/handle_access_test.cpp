// What a handle was granted decides which requests the I/O manager sends on
// it: a read needs read data, a write write data or append data, a device
// control the access its code names. A refused request fails with
// STATUS_ACCESS_DENIED and never reaches the driver; a request on a handle
// already closed fails with STATUS_INVALID_HANDLE, unseen too.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "platform/io_device_object.h"
#include "sim/client.h"
#include "sim/driver.h"
#include "sim/tokens.h"
#include "tests/support/sim_test.h"

namespace {

using sim::Account;

std::atomic<int> g_seen{0};

NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp)
{
    ++g_seen;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID NTAPI DeleteDevice(PDRIVER_OBJECT driver)
{
    IoDeleteDevice(driver->DeviceObject);
}

// A device without security, so that every open is granted what it asks.
NTSTATUS NTAPI CreateOpenDevice(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, WIDE("\\Device\\open"));
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_NETWORK, 0, FALSE, &device);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_DEVICE_CONTROL}) {
        driver->MajorFunction[major] = Succeed;
    }
    driver->DriverUnload = DeleteDevice;
    return status;
}

constexpr ULONG Code(ULONG access)
{
    return CTL_CODE(FILE_DEVICE_NETWORK, 0x900, METHOD_BUFFERED, access);
}

class HandleAccess : public rztest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ASSERT_EQ(sim::Driver::Load(CreateOpenDevice, u"open", &driver_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        for (const sim::ClientHandle &handle : handles_) {
            handle.Close();
        }
        EXPECT_TRUE(driver_.Stop());
        SimTest::TearDown();
    }

    sim::ClientHandle Open(ACCESS_MASK access)
    {
        sim::ClientHandle handle;
        EXPECT_EQ(sim::ClientHandle::Open(u"\\Device\\open", Account::OrdinaryUser, access, &handle),
                  STATUS_SUCCESS);
        handles_.push_back(handle);
        return handle;
    }

    // The request's status, and whether the driver saw it.
    static std::pair<NTSTATUS, bool> Outcome(const sim::Request &request)
    {
        EXPECT_TRUE(request.Completed());
        return {request.FinalStatus().Status, request.Dispatched()};
    }

    sim::Driver driver_;
    std::vector<sim::ClientHandle> handles_;
};

const std::pair<NTSTATUS, bool> kSent{STATUS_SUCCESS, true};
const std::pair<NTSTATUS, bool> kRefused{STATUS_ACCESS_DENIED, false};

TEST_F(HandleAccess, ReadsAndWritesNeedTheirDataRights)
{
    sim::ClientHandle reader = Open(GENERIC_READ);
    EXPECT_EQ(Outcome(reader.Read(16)), kSent);
    EXPECT_EQ(Outcome(reader.Write({1, 2})), kRefused);

    sim::ClientHandle writer = Open(sim::kFileWriteData);
    EXPECT_EQ(Outcome(writer.Read(16)), kRefused);
    EXPECT_EQ(Outcome(writer.Write({1, 2})), kSent);
    // Appending is writing too.
    EXPECT_EQ(Outcome(Open(sim::kFileAppendData).Write({1, 2})), kSent);

    sim::ClientHandle bare = Open(0);
    EXPECT_EQ(Outcome(bare.Read(16)), kRefused);
    EXPECT_EQ(Outcome(bare.Write({1, 2})), kRefused);
}

TEST_F(HandleAccess, ADeviceControlNeedsEveryRightItsCodeNames)
{
    const ULONG both = FILE_READ_ACCESS | FILE_WRITE_ACCESS;
    sim::ClientHandle bare = Open(0);
    EXPECT_EQ(Outcome(bare.Control(Code(FILE_ANY_ACCESS), {1}, 4)), kSent);
    EXPECT_EQ(Outcome(bare.Control(Code(FILE_READ_ACCESS), {1}, 4)), kRefused);

    sim::ClientHandle reader = Open(GENERIC_READ);
    EXPECT_EQ(Outcome(reader.Control(Code(FILE_READ_ACCESS), {1}, 4)), kSent);
    EXPECT_EQ(Outcome(reader.Control(Code(FILE_WRITE_ACCESS), {1}, 4)), kRefused);
    EXPECT_EQ(Outcome(reader.Control(Code(both), {1}, 4)), kRefused) << "read alone is not enough";

    sim::ClientHandle writer = Open(GENERIC_WRITE);
    EXPECT_EQ(Outcome(writer.Control(Code(FILE_WRITE_ACCESS), {1}, 4)), kSent);
    EXPECT_EQ(Outcome(writer.Control(Code(both), {1}, 4)), kRefused) << "write alone is not enough";

    EXPECT_EQ(Outcome(Open(GENERIC_READ | GENERIC_WRITE).Control(Code(both), {1}, 4)), kSent);
}

// The caller learns of a refusal as of any other result: its done step runs
// with the status, nothing goes back into its buffer, and the handle closes
// as if the request had never been.
TEST_F(HandleAccess, ARefusalReachesTheCallerAndLeavesNothingBehind)
{
    g_seen = 0;
    sim::ClientHandle reader = Open(GENERIC_READ);
    int seenAfterOpen = g_seen;
    NTSTATUS told = STATUS_PENDING;
    sim::ControlRequest refused =
        reader.Control(Code(FILE_WRITE_ACCESS), {1}, 4,
                       [&told](const sim::ControlRequest &, const IO_STATUS_BLOCK &status) { told = status.Status; });
    EXPECT_EQ(told, STATUS_ACCESS_DENIED);
    EXPECT_EQ(refused.DispatchStatus(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(refused.FinalStatus().Information, 0u);
    EXPECT_EQ(refused.Output(), std::vector<uint8_t>(4, sim::kCallerOutputFill));
    EXPECT_EQ(g_seen, seenAfterOpen) << "the driver saw nothing";
    EXPECT_THROW(refused.Dispatch(Succeed), std::logic_error);

    reader.Close();
    EXPECT_EQ(sim::OpenFileCount(driver_.Object()), 0u) << "no request was left to hold the close back";
}

// A request issued once the handle is closed finds no file behind it.
TEST_F(HandleAccess, ARequestOnAClosedHandleNeverReachesTheDriver)
{
    sim::ClientHandle handle = Open(GENERIC_READ | GENERIC_WRITE);
    handle.Close();
    const std::pair<NTSTATUS, bool> kNoFile{STATUS_INVALID_HANDLE, false};
    EXPECT_EQ(Outcome(handle.Read(16)), kNoFile);
    EXPECT_EQ(Outcome(handle.Write({1, 2})), kNoFile);
    EXPECT_EQ(Outcome(handle.Control(Code(FILE_ANY_ACCESS), {1}, 4)), kNoFile);
    EXPECT_EQ(sim::OpenFileCount(driver_.Object()), 0u);
}

}  // namespace
