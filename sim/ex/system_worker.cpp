// One worker thread for every kind of work item; tests wait for it to be idle.
#include "sim/ex/system_worker.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "sim/irql.h"
#include "sim/ke/ke_internal.h"
#include "sim/schedule.h"
#include "sim/verifier.h"
#include "sim/work.h"
#include "sim/ex/work_internal.h"

namespace sim {
namespace {

struct QueuedWork {
    const void *item;
    WorkKind kind;
    std::function<void()> run;
    std::function<void()> finished;
    // Under a seeded schedule, the party the work runs as.
    uint64_t ticket;
};

class SystemWorker {
public:
    ~SystemWorker()
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

    bool Queue(const void *item, WorkKind kind, std::function<void()> run, std::function<void()> finished)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (QueuedLocked(item)) {
            return false;
        }
        if (!worker_.joinable()) {
            worker_ = std::thread([this] { Run(); });
        }
        queued_.push_back({item, kind, std::move(run), std::move(finished),
                           schedule::Announce(this, kind == WorkKind::Ndis ? "system worker (NDIS work item)"
                                                                           : "system worker (I/O work item)")});
        changed_.notify_all();
        return true;
    }

    bool Queued(const void *item)
    {
        std::lock_guard<std::mutex> guard(lock_);
        return QueuedLocked(item);
    }

    size_t Pending(WorkKind kind)
    {
        std::lock_guard<std::mutex> guard(lock_);
        size_t count = running_ && runningKind_ == kind ? 1 : 0;
        for (const QueuedWork &work : queued_) {
            count += work.kind == kind ? 1 : 0;
        }
        return count;
    }

    size_t Pending()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return queued_.size() + (running_ ? 1 : 0);
    }

    bool WaitIdle(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> guard(lock_);
        return schedule::WaitFor(changed_, guard, limit,
                                 [this] { return queued_.empty() && !running_ && !finishing_; });
    }

    void Reset()
    {
        std::unique_lock<std::mutex> guard(lock_);
        queued_.clear();
        changed_.wait_for(guard, kWaitLimit, [this] { return !running_ && !finishing_; });
    }

    void AppendLeaks(std::vector<std::string> &leaks)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const QueuedWork &work : queued_) {
            char text[96];
            std::snprintf(text, sizeof text, "%s work item %p queued and never run",
                          work.kind == WorkKind::Ndis ? "NDIS" : "I/O", work.item);
            leaks.push_back(text);
        }
        if (running_) {
            leaks.push_back("a work item routine is still running");
        }
    }

private:
    bool QueuedLocked(const void *item) const
    {
        for (const QueuedWork &work : queued_) {
            if (work.item == item) {
                return true;
            }
        }
        return false;
    }

    void Run()
    {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            changed_.wait(guard, [this] { return stop_ || !queued_.empty(); });
            if (stop_) {
                return;
            }
            QueuedWork work = std::move(queued_.front());
            queued_.pop_front();
            running_ = true;
            runningKind_ = work.kind;
            guard.unlock();
            {
                schedule::PlatformWork party(work.ticket);
                work.run();
                guard.lock();
                // The routine has returned; what comes after it is the platform's.
                running_ = false;
                finishing_ = true;
                changed_.notify_all();
                guard.unlock();
                if (work.finished) {
                    work.finished();
                }
            }
            guard.lock();
            finishing_ = false;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<QueuedWork> queued_;
    bool running_ = false;
    bool finishing_ = false;
    WorkKind runningKind_ = WorkKind::Ndis;
    bool stop_ = false;
    std::thread worker_;
};

SystemWorker &Worker()
{
    static SystemWorker worker;
    return worker;
}

}  // namespace

bool QueueSystemWork(const void *item, WorkKind kind, std::function<void()> run, std::function<void()> finished)
{
    return Worker().Queue(item, kind, std::move(run), std::move(finished));
}

bool SystemWorkQueued(const void *item)
{
    return Worker().Queued(item);
}

size_t PendingSystemWork(WorkKind kind)
{
    return Worker().Pending(kind);
}

void CheckWorkRoutineReturn(const char *api)
{
    bool broken = false;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        Violation("workitem.irql-changed", api,
                  "the work item routine returned at IRQL " + std::to_string(KeGetCurrentIrql()));
        broken = true;
    }
    if (HeldSpinLockCount() != 0) {
        Violation("workitem.spinlock-held", api, "the work item routine returned holding a spin lock");
        broken = true;
    }
    if (broken) {
        ReleaseHeldSpinLocks(PASSIVE_LEVEL);
    }
}

bool WaitForWorkItems(std::chrono::milliseconds limit)
{
    return Worker().WaitIdle(limit);
}

size_t PendingWorkItems()
{
    return Worker().Pending();
}

void ResetWorkItems()
{
    Worker().Reset();
    ResetIoWorkItems();
}

void AppendWorkItemLeaks(std::vector<std::string> &leaks)
{
    Worker().AppendLeaks(leaks);
    AppendIoWorkItemLeaks(leaks);
}

}  // namespace sim
