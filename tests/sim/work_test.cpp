// NDIS work items: scheduled from any IRQL up to DISPATCH_LEVEL, run later
// at PASSIVE_LEVEL on a worker thread, and waited for with a time limit.
#include <gtest/gtest.h>

#include <thread>

#include "platform/ndis_work.h"
#include "sim/irql.h"
#include "sim/work.h"
#include "sim/world.h"
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
    rztest::Gate hold;
    RoutineRun first;
    first.hold = &hold;
    RoutineRun second;
    NDIS_WORK_ITEM blocking;
    NDIS_WORK_ITEM waiting;
    NdisInitializeWorkItem(&blocking, Record, &first);
    NdisInitializeWorkItem(&waiting, Record, &second);
    NdisScheduleWorkItem(&blocking);
    NdisScheduleWorkItem(&waiting);
    EXPECT_EQ(NdisScheduleWorkItem(&waiting), NDIS_STATUS_FAILURE);
    EXPECT_TRUE(HasRule(TakeViolations(), "workitem.already-queued"));
    EXPECT_EQ(sim::PendingWorkItems(), 2u);
    EXPECT_EQ(sim::Leaks().size(), 2u);
    hold.Open();
    ASSERT_TRUE(sim::WaitForWorkItems());
    EXPECT_EQ(second.count, 1);
    EXPECT_TRUE(sim::Leaks().empty());
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
