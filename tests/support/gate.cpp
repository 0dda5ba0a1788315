#include "tests/support/gate.h"

#include <gtest/gtest.h>

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
    if (!opened_.wait_for(guard, limit, [this] { return open_; })) {
        ADD_FAILURE() << "a gate was not opened in time";
        return false;
    }
    return true;
}

}  // namespace rztest
