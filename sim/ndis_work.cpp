// NdisScheduleWorkItem over one worker thread: the routine runs later, at
// PASSIVE_LEVEL, outside the context that scheduled it.
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/ndis_work.h"
#include "sim/driver_call.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/ke_internal.h"
#include "sim/schedule.h"
#include "sim/verifier.h"
#include "sim/work.h"
#include "sim/work_internal.h"

namespace sim {
namespace {

class WorkQueue {
public:
    ~WorkQueue()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        if (worker_.joinable()) {
            worker_.join();
        }
    }

    NDIS_STATUS Schedule(PNDIS_WORK_ITEM item)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (PNDIS_WORK_ITEM queued : queued_) {
            if (queued == item) {
                Violation("workitem.already-queued", "NdisScheduleWorkItem",
                          "the work item is scheduled again before its routine started");
                return NDIS_STATUS_FAILURE;
            }
        }
        if (!worker_.joinable()) {
            worker_ = std::thread([this] { Run(); });
        }
        queued_.push_back(item);
        changed_.notify_all();
        return NDIS_STATUS_SUCCESS;
    }

    bool WaitIdle(std::chrono::milliseconds limit)
    {
        schedule::Blocking blocking;
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, limit, [this] { return queued_.empty() && !running_; });
    }

    size_t Pending()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return queued_.size() + (running_ ? 1 : 0);
    }

    void Reset()
    {
        std::unique_lock<std::mutex> guard(lock_);
        queued_.clear();
        changed_.wait_for(guard, kWaitLimit, [this] { return !running_; });
    }

    void AppendLeaks(std::vector<std::string> &leaks)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (PNDIS_WORK_ITEM item : queued_) {
            char text[96];
            std::snprintf(text, sizeof text, "work item %p scheduled and never run",
                          static_cast<void *>(item));
            leaks.push_back(text);
        }
        if (running_) {
            leaks.push_back("a work item routine is still running");
        }
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            changed_.wait(guard, [this] { return stop_ || !queued_.empty(); });
            if (stop_) {
                return;
            }
            PNDIS_WORK_ITEM item = queued_.front();
            queued_.pop_front();
            running_ = true;
            guard.unlock();
            RunItem(item);
            guard.lock();
            running_ = false;
            changed_.notify_all();
        }
    }

    // The item may be freed by its own routine: nothing of it is read after the call.
    static void RunItem(PNDIS_WORK_ITEM item)
    {
        HookPoint("NdisWorkItem.run");
        NDIS_PROC routine = item->Routine;
        CallDriver("work item routine", routine, item, item->Context);
        bool broken = false;
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            Violation("workitem.irql-changed", "NdisScheduleWorkItem",
                      "the work item routine returned at IRQL " + std::to_string(KeGetCurrentIrql()));
            broken = true;
        }
        if (HeldSpinLockCount() != 0) {
            Violation("workitem.spinlock-held", "NdisScheduleWorkItem",
                      "the work item routine returned holding a spin lock");
            broken = true;
        }
        if (broken) {
            ReleaseHeldSpinLocks(PASSIVE_LEVEL);
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<PNDIS_WORK_ITEM> queued_;
    bool running_ = false;
    bool stop_ = false;
    std::thread worker_;
};

WorkQueue &Queue()
{
    static WorkQueue queue;
    return queue;
}

}  // namespace

bool WaitForWorkItems(std::chrono::milliseconds limit)
{
    return Queue().WaitIdle(limit);
}

size_t PendingWorkItems()
{
    return Queue().Pending();
}

void ResetWorkItems()
{
    Queue().Reset();
}

void AppendWorkItemLeaks(std::vector<std::string> &leaks)
{
    Queue().AppendLeaks(leaks);
}

}  // namespace sim

extern "C" {

NDIS_STATUS NTAPI NdisScheduleWorkItem(PNDIS_WORK_ITEM WorkItem)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisScheduleWorkItem");
    if (WorkItem == nullptr || WorkItem->Routine == nullptr) {
        sim::Violation("workitem.no-routine", "NdisScheduleWorkItem", "no work item or no routine");
        return NDIS_STATUS_FAILURE;
    }
    return sim::Queue().Schedule(WorkItem);
}

}  // extern "C"
