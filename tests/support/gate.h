// A one-way signal between the parties of a race: a party stopped at a hook
// point waits at a gate until the test, or another party, opens it. Every
// wait is bounded, so a race that goes wrong fails instead of hanging; a
// party of a seeded schedule waits at its turns, as for the sim's own waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "sim/io.h"

namespace rztest {

class Gate {
public:
    void Open();
    // True once the gate is open; false (and a test failure) when `limit` ran out.
    bool Wait(std::chrono::milliseconds limit = sim::kWaitLimit);

private:
    std::mutex lock_;
    std::condition_variable opened_;
    bool open_ = false;
};

// The calling thread stops at its next arrival at the hook point `point`,
// opening `reached`, and goes on once `resume` opens; other threads pass.
void StopThisThreadAt(const std::string &point, Gate &reached, Gate &resume);

}  // namespace rztest
