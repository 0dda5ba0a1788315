// NDIS work items: scheduled from any IRQL up to DISPATCH_LEVEL, run later
// at PASSIVE_LEVEL on the system worker threads, several at once and in an
// order the seed picks, and waited for with a time limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ndis_work.h"
#include "sim/irql.h"
#include "sim/work.h"
#include "sim/world.h"
#include "tests/support/busy_workers.h"
#include "tests/support/gate.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;

class WorkItems : public rztest::SimTest {};

struct RoutineRun {
    std::thread::id thread;
    KIRQL irql = DISPATCH_LEVEL;
    int count = 0;
    rztest::Gate *hold = nullptr;
};

VOID NTAPI Record(PNDIS_WORK_ITEM, PVOID context)
{
    auto *run = static_cast<RoutineRun *>(context);
    if (run->hold != nullptr) {
        run->hold->Wait();
    }
    run->thread = std::this_thread::get_id();
    run->irql = KeGetCurrentIrql();
    ++run->count;
}

VOID NTAPI OpenGate(PNDIS_WORK_ITEM, PVOID gate)
{
    static_cast<rztest::Gate *>(gate)->Open();
}

VOID NTAPI KeepALock(PNDIS_WORK_ITEM, PVOID context)
{
    KfAcquireSpinLock(static_cast<PKSPIN_LOCK>(context));
}

TEST_F(WorkItems, RunLaterAtPassiveLevelOnAWorkerThread)
{
    RoutineRun run;
    NDIS_WORK_ITEM item;
    NdisInitializeWorkItem(&item, Record, &run);
    {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(NdisScheduleWorkItem(&item), NDIS_STATUS_SUCCESS);
    }
    ASSERT_TRUE(sim::WaitForWorkItems());
    EXPECT_EQ(run.count, 1);
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    EXPECT_NE(run.thread, std::this_thread::get_id());
    EXPECT_EQ(sim::PendingWorkItems(), 0u);
}

TEST_F(WorkItems, CatchesAnItemScheduledTwiceAndReportsItemsNotRun)
{
    rztest::BusyWorkers busy;
    RoutineRun run;
    NDIS_WORK_ITEM waiting;
    NdisInitializeWorkItem(&waiting, Record, &run);
    NdisScheduleWorkItem(&waiting);
    EXPECT_EQ(NdisScheduleWorkItem(&waiting), NDIS_STATUS_FAILURE);
    EXPECT_TRUE(HasRule(TakeViolations(), "workitem.already-queued"));
    EXPECT_EQ(sim::PendingWorkItems(), sim::kSystemWorkerThreads + 1);
    EXPECT_EQ(sim::Leaks().size(), 2u) << "the item never run, and the routines running";
    busy.ReleaseAll();
    ASSERT_TRUE(sim::WaitForWorkItems());
    EXPECT_EQ(run.count, 1);
    EXPECT_TRUE(sim::Leaks().empty());
}

// As on the delayed work queue, items run on several threads at once: one
// routine can wait for another queued after it.
TEST_F(WorkItems, SeveralRunAtOnce)
{
    rztest::Gate secondRan;
    RoutineRun first;
    first.hold = &secondRan;
    NDIS_WORK_ITEM waits;
    NdisInitializeWorkItem(&waits, Record, &first);
    NDIS_WORK_ITEM opens;
    NdisInitializeWorkItem(&opens, OpenGate, &secondRan);
    NdisScheduleWorkItem(&waits);
    NdisScheduleWorkItem(&opens);
    ASSERT_TRUE(sim::WaitForWorkItems());
    EXPECT_EQ(first.count, 1);
}

// The order queued items run in is not the order they were queued in, but
// one the seed picks: the same seed, the same order.
struct OrderRan {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<int> order;
};

struct OrderEntry {
    NDIS_WORK_ITEM item{};
    int index = 0;
    OrderRan *ran = nullptr;
};

VOID NTAPI RecordOrder(PNDIS_WORK_ITEM, PVOID context)
{
    auto *entry = static_cast<OrderEntry *>(context);
    std::lock_guard<std::mutex> guard(entry->ran->lock);
    entry->ran->order.push_back(entry->index);
    entry->ran->changed.notify_all();
}

std::vector<int> OrderRun(uint64_t seed)
{
    constexpr int kItems = 8;
    OrderRan ran;
    OrderEntry entries[kItems];
    sim::SeedWorkOrder(seed);
    rztest::BusyWorkers busy;
    for (int i = 0; i < kItems; ++i) {
        entries[i].index = i;
        entries[i].ran = &ran;
        NdisInitializeWorkItem(&entries[i].item, RecordOrder, &entries[i]);
        NdisScheduleWorkItem(&entries[i].item);
    }
    // One thread alone takes them, one after another.
    busy.ReleaseOne();
    {
        std::unique_lock<std::mutex> guard(ran.lock);
        EXPECT_TRUE(ran.changed.wait_for(guard, sim::kWaitLimit, [&ran] { return ran.order.size() == kItems; }));
    }
    busy.ReleaseAll();
    EXPECT_TRUE(sim::WaitForWorkItems());
    return ran.order;
}

TEST_F(WorkItems, QueuedItemsRunInTheOrderTheSeedPicks)
{
    std::vector<int> queued = {0, 1, 2, 3, 4, 5, 6, 7};
    std::vector<int> first = OrderRun(1);
    EXPECT_EQ(OrderRun(1), first) << "the same seed picks the same order";
    std::vector<int> sorted = first;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, queued) << "each item once";
    EXPECT_NE(first, queued);
    EXPECT_NE(OrderRun(2), first);
}

TEST_F(WorkItems, CatchesARoutineReturningWithASpinLockHeld)
{
    KSPIN_LOCK lock = 0;
    NDIS_WORK_ITEM item;
    NdisInitializeWorkItem(&item, KeepALock, &lock);
    NdisScheduleWorkItem(&item);
    ASSERT_TRUE(sim::WaitForWorkItems());
    std::vector<std::string> violations = TakeViolations();
    EXPECT_TRUE(HasRule(violations, "workitem.spinlock-held"));
    EXPECT_TRUE(HasRule(violations, "workitem.irql-changed"));
}

}  // namespace
