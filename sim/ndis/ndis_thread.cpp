#include "sim/ndis/ndis_thread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "sim/schedule.h"

namespace sim {
namespace {

class NdisThread {
public:
    ~NdisThread()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void Queue(std::function<void()> work)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { Run(); });
        }
        queued_.push_back({std::move(work), schedule::Announce(this, "NDIS's thread")});
        changed_.notify_all();
    }

    bool WaitIdle(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> guard(lock_);
        return schedule::WaitFor(changed_, guard, limit, [this] { return queued_.empty() && !running_; });
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
            Queued work = std::move(queued_.front());
            queued_.pop_front();
            running_ = true;
            guard.unlock();
            {
                // Under a seeded schedule, the party the work runs as, to the
                // moment a waiter can see the thread idle.
                schedule::PlatformWork party(work.ticket);
                work.run();
                guard.lock();
                running_ = false;
                changed_.notify_all();
                guard.unlock();
            }
            guard.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    struct Queued {
        std::function<void()> run;
        uint64_t ticket;
    };
    std::deque<Queued> queued_;
    bool running_ = false;
    bool stop_ = false;
    std::thread thread_;
};

NdisThread &Thread()
{
    static NdisThread thread;
    return thread;
}

}  // namespace

void QueueNdisWork(std::function<void()> work)
{
    Thread().Queue(std::move(work));
}

bool WaitNdisWorkIdle(std::chrono::milliseconds limit)
{
    return Thread().WaitIdle(limit);
}

}  // namespace sim
