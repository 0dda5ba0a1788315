// Seeded schedules: a test hands the parties of a race to Run, which starts
// each on its own thread and lets exactly one of them run at a time. At every
// interleaving point (sim/hooks.h: spin lock acquisition, interlocked
// operations, cancellation, completion, the NDIS points) the running party
// may hand the turn to another, as the seed decides; a party spinning on a
// lock another holds always hands it on. The order of turns is a function of
// the seed, so a run that went wrong is repeated by running its seed again.
//
// Threads that are not parties (the test's own, the NDIS worker) run freely
// and never take turns. A party about to block on something another thread is
// to do (a wait for an event, a request's completion, an adapter's pended
// work) steps out of the turns for the wait (Blocking); the sim's own waits do
// this themselves.
//
// Off by default: outside Run every point returns at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim::schedule {

struct Outcome {
    // Every party returned within the limit.
    bool finished = false;
    // Interleaving points the parties reached, and how often the turn changed hands.
    uint64_t points = 0;
    uint64_t switches = 0;
    // When not finished: where each party was, one line each.
    std::vector<std::string> stalled;
};

// Runs the parties to their end under the seed's turns. After `limit` the
// turns are given up, every party runs freely to its end, and the outcome
// says where each one stood.
Outcome Run(uint64_t seed, std::vector<std::function<void()>> parties,
            std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// Whether the calling thread is a party of a running schedule.
bool InParty();

// An interleaving point (called by HookPoint).
void Point(const char *name);
// The calling party waits for a lock another thread holds: the turn goes to
// another party if there is one.
void Spin();

// Steps the calling party out of the turns while it blocks, and back in (at
// its next turn) when it is done; nothing for other threads.
class Blocking {
public:
    Blocking();
    ~Blocking();
    Blocking(const Blocking &) = delete;
    Blocking &operator=(const Blocking &) = delete;

private:
    bool stepped_;
};

}  // namespace sim::schedule
