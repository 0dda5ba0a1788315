#include "tests/support/busy_workers.h"

#include <gtest/gtest.h>

#include "sim/work.h"

namespace rztest {

VOID NTAPI BusyWorkers::HoldWorker(PNDIS_WORK_ITEM, PVOID context)
{
    auto *hold = static_cast<Hold *>(context);
    BusyWorkers *owner = hold->owner;
    {
        std::lock_guard<std::mutex> guard(owner->lock_);
        ++owner->holding_;
    }
    owner->changed_.notify_all();
    hold->gate.Wait();
}

BusyWorkers::BusyWorkers()
{
    for (size_t i = 0; i < sim::kSystemWorkerThreads; ++i) {
        auto hold = std::make_unique<Hold>();
        hold->owner = this;
        NdisInitializeWorkItem(&hold->item, HoldWorker, hold.get());
        EXPECT_EQ(NdisScheduleWorkItem(&hold->item), NDIS_STATUS_SUCCESS);
        holds_.push_back(std::move(hold));
    }
    std::unique_lock<std::mutex> guard(lock_);
    EXPECT_TRUE(changed_.wait_for(guard, sim::kWaitLimit, [this] { return holding_ == holds_.size(); }))
        << "every worker thread took a holding routine";
}

BusyWorkers::~BusyWorkers()
{
    ReleaseAll();
    EXPECT_TRUE(sim::WaitForWorkItems());
}

void BusyWorkers::ReleaseOne()
{
    if (released_ < holds_.size()) {
        holds_[released_++]->gate.Open();
    }
}

void BusyWorkers::ReleaseAll()
{
    while (released_ < holds_.size()) {
        ReleaseOne();
    }
}

}  // namespace rztest
