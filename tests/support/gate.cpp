#include "tests/support/gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "sim/hooks.h"
#include "sim/schedule.h"

namespace rztest {

void Gate::Open()
{
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    opened_.notify_all();
}

bool Gate::Wait(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (!sim::schedule::WaitFor(opened_, guard, limit, [this] { return open_; })) {
        ADD_FAILURE() << "a gate was not opened in time";
        return false;
    }
    return true;
}

void StopThisThreadAt(const std::string &point, Gate &reached, Gate &resume)
{
    auto stopped = std::make_shared<std::atomic<bool>>(false);
    sim::SetHook(
        point,
        [&reached, &resume, stopped, me = std::this_thread::get_id()] {
            if (std::this_thread::get_id() == me && !stopped->exchange(true)) {
                reached.Open();
                resume.Wait();
            }
        },
        0);
}

}  // namespace rztest
