// I/O work items: run later at PASSIVE_LEVEL with their device object, which
// they hold past its deletion and, with it, the driver past its unload; the
// misuses the I/O manager's verifier catches; and NDIS work items, which hold
// nothing, caught outliving the driver's unload.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/io_device_object.h"
#include "platform/io_work.h"
#include "platform/ndis_work.h"
#include "sim/driver.h"
#include "sim/irql.h"
#include "sim/work.h"
#include "sim/world.h"
#include "tests/support/busy_workers.h"
#include "tests/support/gate.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;

class IoWorkItems : public rztest::SimTest {};

struct RoutineRun {
    PDEVICE_OBJECT device = nullptr;
    CSHORT deviceType = 0;
    std::thread::id thread;
    KIRQL irql = DISPATCH_LEVEL;
    int count = 0;
    rztest::Gate *hold = nullptr;
    PIO_WORKITEM freeItself = nullptr;
};

VOID NTAPI Record(PDEVICE_OBJECT device, PVOID context)
{
    auto *run = static_cast<RoutineRun *>(context);
    if (run->hold != nullptr) {
        run->hold->Wait();
    }
    run->device = device;
    run->deviceType = device->Type;
    run->thread = std::this_thread::get_id();
    run->irql = KeGetCurrentIrql();
    ++run->count;
    if (run->freeItself != nullptr) {
        IoFreeWorkItem(run->freeItself);
    }
}

bool Mentions(const std::vector<std::string> &leaks, const std::string &text)
{
    for (const std::string &leak : leaks) {
        if (leak.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(IoWorkItems, RunAtPassiveLevelWithTheirDeviceWhichOutlivesItsDeletionUntilTheyReturn)
{
    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_NETWORK, 0, FALSE, &device), STATUS_SUCCESS);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    rztest::Gate hold;
    RoutineRun run;
    run.hold = &hold;
    {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        IoQueueWorkItem(item, Record, DelayedWorkQueue, &run);
    }
    IoDeleteDevice(device);
    EXPECT_EQ(driver.DeviceObject, nullptr);
    EXPECT_TRUE(Mentions(sim::Leaks(), "deleted and still referenced"));
    hold.Open();
    ASSERT_TRUE(sim::WaitForWorkItems());
    EXPECT_EQ(run.count, 1);
    EXPECT_EQ(run.device, device);
    EXPECT_EQ(run.deviceType, 3);
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    EXPECT_NE(run.thread, std::this_thread::get_id());
    std::vector<std::string> leaks = sim::Leaks();
    EXPECT_FALSE(Mentions(leaks, "deleted and still referenced"));
    EXPECT_TRUE(Mentions(leaks, "allocated and never freed"));
    IoFreeWorkItem(item);
    EXPECT_TRUE(sim::Leaks().empty());
}

TEST_F(IoWorkItems, CatchesMisuseAndLetsARoutineFreeItsOwnItem)
{
    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_NETWORK, 0, FALSE, &device), STATUS_SUCCESS);
    DEVICE_OBJECT stranger{};
    EXPECT_EQ(IoAllocateWorkItem(&stranger), nullptr);
    EXPECT_TRUE(HasRule(TakeViolations(), "ioworkitem.no-device"));

    // The workers are kept busy, so the next item stays queued.
    auto workers = std::make_unique<rztest::BusyWorkers>();
    RoutineRun first;
    PIO_WORKITEM busy = IoAllocateWorkItem(device);
    RoutineRun second;
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    second.freeItself = item;
    IoQueueWorkItem(item, Record, CriticalWorkQueue, &second);
    IoQueueWorkItem(item, Record, CriticalWorkQueue, &second);
    EXPECT_TRUE(HasRule(TakeViolations(), "ioworkitem.already-queued"));
    IoFreeWorkItem(item);
    EXPECT_TRUE(HasRule(TakeViolations(), "ioworkitem.freed-while-queued"));
    IoQueueWorkItem(busy, Record, static_cast<WORK_QUEUE_TYPE>(7), &first);
    EXPECT_TRUE(HasRule(TakeViolations(), "ioworkitem.bad-queue"));
    EXPECT_TRUE(Mentions(sim::Leaks(), "I/O work item"));

    workers.reset();
    EXPECT_EQ(first.count, 0);
    EXPECT_EQ(second.count, 1);
    IoFreeWorkItem(busy);
    IoFreeWorkItem(busy);
    EXPECT_TRUE(HasRule(TakeViolations(), "ioworkitem.unknown"));
    IoDeleteDevice(device);
    EXPECT_TRUE(sim::Leaks().empty());
}

// A toy driver whose only device has one work item of each kind in flight
// when it is stopped.
struct Toy {
    PIO_WORKITEM ioItem = nullptr;
    NDIS_WORK_ITEM ndisItem{};
    rztest::Gate hold;
    std::atomic<bool> routineReturned{false};
    bool useNdisItem = false;
};
Toy *g_toy = nullptr;

VOID NTAPI ToyIoRoutine(PDEVICE_OBJECT, PVOID)
{
    g_toy->hold.Wait();
    IoFreeWorkItem(g_toy->ioItem);
    g_toy->routineReturned = true;
}

VOID NTAPI ToyNdisRoutine(PNDIS_WORK_ITEM, PVOID)
{
    g_toy->hold.Wait();
    g_toy->routineReturned = true;
}

VOID NTAPI ToyUnload(PDRIVER_OBJECT driver)
{
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI ToyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_NETWORK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    driver->DriverUnload = ToyUnload;
    if (g_toy->useNdisItem) {
        NdisInitializeWorkItem(&g_toy->ndisItem, ToyNdisRoutine, nullptr);
        NdisScheduleWorkItem(&g_toy->ndisItem);
    } else {
        g_toy->ioItem = IoAllocateWorkItem(device);
        IoQueueWorkItem(g_toy->ioItem, ToyIoRoutine, DelayedWorkQueue, nullptr);
    }
    return status;
}

TEST_F(IoWorkItems, HoldTheDriverPastItsUnloadUntilTheyReturn)
{
    Toy toy;
    g_toy = &toy;
    sim::Driver driver;
    ASSERT_EQ(sim::Driver::Load(ToyEntry, u"toy", &driver), STATUS_SUCCESS);
    std::atomic<bool> stopReturned{false};
    std::thread stopper([&] {
        EXPECT_TRUE(driver.Stop());
        stopReturned = true;
    });
    EXPECT_TRUE(driver.WaitUnloaded());
    EXPECT_FALSE(stopReturned);
    EXPECT_FALSE(toy.routineReturned);
    toy.hold.Open();
    stopper.join();
    EXPECT_TRUE(toy.routineReturned);
    g_toy = nullptr;
}

TEST_F(IoWorkItems, AnNdisWorkItemOutlivingTheUnloadIsCaught)
{
    Toy toy;
    toy.useNdisItem = true;
    g_toy = &toy;
    sim::Driver driver;
    ASSERT_EQ(sim::Driver::Load(ToyEntry, u"toy", &driver), STATUS_SUCCESS);
    EXPECT_TRUE(driver.Stop());
    EXPECT_TRUE(HasRule(TakeViolations(), "driver.routine-after-unload"));
    toy.hold.Open();
    ASSERT_TRUE(sim::WaitForWorkItems());
    g_toy = nullptr;
}

}  // namespace
