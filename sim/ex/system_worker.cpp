// The system worker threads, which every kind of work item shares; tests
// wait for them to be idle.
#include "sim/ex/system_worker.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/irql.h"
#include "sim/ke/ke_internal.h"
#include "sim/schedule.h"
#include "sim/verifier.h"
#include "sim/work.h"
#include "sim/ex/work_internal.h"

namespace sim {
namespace {

constexpr uint64_t kDefaultWorkOrderSeed = 1;

const char *PartyName(WorkKind kind)
{
    switch (kind) {
    case WorkKind::Ndis: return "system worker (NDIS work item)";
    case WorkKind::Io: return "system worker (I/O work item)";
    case WorkKind::Pnp: break;
    }
    return "system worker (the stack's plug-and-play)";
}

const char *WorkName(WorkKind kind)
{
    switch (kind) {
    case WorkKind::Ndis: return "NDIS work item";
    case WorkKind::Io: return "I/O work item";
    case WorkKind::Pnp: break;
    }
    return "the stack's plug-and-play move";
}

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
        for (std::thread &worker : workers_) {
            worker.join();
        }
    }

    bool Queue(const void *item, WorkKind kind, std::function<void()> run, std::function<void()> finished)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (QueuedLocked(item)) {
            return false;
        }
        // Each item joins a seeded schedule as a party of its own once a
        // thread picks it up; the schedule waits for that, so under one every
        // item gets a thread, as Windows adds dynamic worker threads when the
        // queue backs up.
        uint64_t ticket = schedule::Announce(nullptr, PartyName(kind));
        size_t wanted = std::max(kSystemWorkerThreads,
                                 ticket != 0 ? running_.size() + finishing_ + queued_.size() + 1 : size_t{0});
        while (workers_.size() < wanted) {
            workers_.emplace_back([this] { Run(); });
        }
        queued_.push_back({item, kind, std::move(run), std::move(finished), ticket});
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
        size_t count = static_cast<size_t>(std::count(running_.begin(), running_.end(), kind));
        for (const QueuedWork &work : queued_) {
            count += work.kind == kind ? 1 : 0;
        }
        return count;
    }

    size_t Pending()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return queued_.size() + running_.size();
    }

    bool WaitIdle(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> guard(lock_);
        return schedule::WaitFor(changed_, guard, limit,
                                 [this] { return queued_.empty() && running_.empty() && finishing_ == 0; });
    }

    void Seed(uint64_t seed)
    {
        std::lock_guard<std::mutex> guard(lock_);
        order_ = seed;
    }

    void Reset()
    {
        std::unique_lock<std::mutex> guard(lock_);
        queued_.clear();
        order_ = kDefaultWorkOrderSeed;
        changed_.wait_for(guard, kWaitLimit, [this] { return running_.empty() && finishing_ == 0; });
    }

    void AppendLeaks(std::vector<std::string> &leaks)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const QueuedWork &work : queued_) {
            char text[96];
            std::snprintf(text, sizeof text, "%s %p queued and never run", WorkName(work.kind), work.item);
            leaks.push_back(text);
        }
        if (!running_.empty()) {
            leaks.push_back(std::to_string(running_.size()) + " work item routine(s) still running");
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

    // The next item to run, picked among those queued as the seed has it
    // (splitmix64), so that a run can be repeated.
    QueuedWork TakeLocked()
    {
        uint64_t z = (order_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        auto at = queued_.begin() + static_cast<std::ptrdiff_t>(z % queued_.size());
        QueuedWork work = std::move(*at);
        queued_.erase(at);
        return work;
    }

    void Run()
    {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            changed_.wait(guard, [this] { return stop_ || !queued_.empty(); });
            if (stop_) {
                return;
            }
            QueuedWork work = TakeLocked();
            running_.push_back(work.kind);
            guard.unlock();
            {
                schedule::PlatformWork party(work.ticket);
                work.run();
                guard.lock();
                // The routine has returned; what comes after it is the platform's.
                running_.erase(std::find(running_.begin(), running_.end(), work.kind));
                ++finishing_;
                changed_.notify_all();
                guard.unlock();
                if (work.finished) {
                    work.finished();
                }
                // Still the party's: a waiter for idle workers sees this in turn.
                guard.lock();
                --finishing_;
                changed_.notify_all();
                guard.unlock();
            }
            guard.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<QueuedWork> queued_;
    std::vector<WorkKind> running_;  // the kind of each routine running
    unsigned finishing_ = 0;
    uint64_t order_ = kDefaultWorkOrderSeed;
    bool stop_ = false;
    std::vector<std::thread> workers_;
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

void SeedWorkOrder(uint64_t seed)
{
    Worker().Seed(seed);
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
