// Seeded schedules: a test hands the parties of a race to Run, which starts
// each on its own thread and lets exactly one of them run at a time. Turns go
// by priority, after PCT (probabilistic concurrency testing): the seed gives
// every party a random priority and picks depth - 1 change points among the
// run's steps; at every interleaving point the highest-priority party that
// can go on runs, and at a change point the running party drops below every
// other. A race that needs d ordering constraints between the parties (one
// party overtaken at one point while another runs a whole unbind is d = 2) is
// found by a seed with probability at least 1 / (n * k^(d-1)), n parties and
// k steps. The order of turns is a function of the seed, so a run that went
// wrong is repeated by running its seed again.
//
// Interleaving points (sim/hooks.h): spin lock acquisition, interlocked
// operations, cancellation, completion, the driver's calls that reach other
// parties (opening and closing an adapter, requests, sends, transfers, work
// items), and every call the platform makes into the driver and its return. A party spinning on a lock
// another holds, or waiting for a condition another party is to bring about
// (WaitFor), cannot go on until some other party has taken a step.
//
// The platform's own threads take part too: work that a party hands to one
// of them (a work item, a deferred close, a completion made from another
// thread) is announced by the party (Announce) and runs as a party of its own
// (PlatformWork), with its own random priority, from the moment its thread
// picks it up until it is done. Threads that are neither (the test's own)
// run freely.
//
// Off by default: outside Run every point returns at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim::schedule {

struct Plan {
    uint64_t seed = 0;
    // Change points are depth - 1; depth 1 keeps each seed's priorities to
    // the end.
    unsigned depth = 2;
    // The steps a run is expected to take, over which the change points fall.
    uint64_t steps = 100;
    std::chrono::milliseconds limit = std::chrono::milliseconds(5000);
};

// One step of a run: a party at an interleaving point, inside a routine of
// the driver (empty when it was in the platform or the test).
struct Step {
    int party = 0;
    const char *point = "";
    std::string routine;
};

struct Outcome {
    // Every party returned within the limit.
    bool finished = false;
    // Interleaving points the parties reached, and how often the turn changed hands.
    uint64_t points = 0;
    uint64_t switches = 0;
    // The parties, the test's first in their order, then the platform's as
    // they joined; and every step, in order.
    std::vector<std::string> parties;
    std::vector<Step> steps;
    // When not finished: where each party was, one line each.
    std::vector<std::string> stalled;
};

// Runs the parties to their end under the plan's turns. After the limit the
// turns are given up, every party runs freely to its end, and the outcome
// says where each one stood.
Outcome Run(const Plan &plan, std::vector<std::function<void()>> parties);

// Whether the calling thread is a party of a running schedule.
bool InParty();

// An interleaving point (called by HookPoint).
void Point(const char *name);
// The calling party waits for a lock another thread holds: the turn goes to
// another party if there is one.
void Spin();

// A call into the driver's `routine` and its return: each an interleaving
// point, and the steps between are the routine's.
class DriverCall {
public:
    explicit DriverCall(const char *routine);
    ~DriverCall();
    DriverCall(const DriverCall &) = delete;
    DriverCall &operator=(const DriverCall &) = delete;

private:
    bool counted_;
};

// Work handed to a platform thread by the calling party: a ticket for the
// PlatformWork that runs it, or 0 outside a schedule. Work of one `lane` (a
// platform thread that takes its work in order) joins in the order it was
// announced; a null lane is a thread of the work's own.
uint64_t Announce(const void *lane, const char *name);

// The platform thread runs announced work: it is a party until this ends.
class PlatformWork {
public:
    explicit PlatformWork(uint64_t ticket);
    ~PlatformWork();
    PlatformWork(const PlatformWork &) = delete;
    PlatformWork &operator=(const PlatformWork &) = delete;

private:
    bool joined_;
};

// The calling party found the condition it waits for false: the turn goes
// to another party that can go on, and comes back after that party's step
// (true). False when no party can: what is awaited is another thread's, the
// calling party holds no turn, and it takes one with TakeTurn once the
// condition holds.
bool PassTurn();
void TakeTurn();

// condition_variable::wait_until with its predicate, for the sim's waits:
// a party tests the condition at its turns, so when it comes true is part of
// the seed's interleaving; other threads wait as usual.
template <typename Ready>
bool WaitUntil(std::condition_variable &changed, std::unique_lock<std::mutex> &guard,
               std::chrono::steady_clock::time_point deadline, Ready ready)
{
    if (!InParty()) {
        return changed.wait_until(guard, deadline, ready);
    }
    // Slices of a wait for another thread's work, after which the party
    // tests again at its turn.
    constexpr std::chrono::milliseconds kSlice(2);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        guard.unlock();
        bool turnCameBack = PassTurn();
        guard.lock();
        if (!turnCameBack) {
            changed.wait_until(guard, std::min(deadline, std::chrono::steady_clock::now() + kSlice), ready);
            guard.unlock();
            TakeTurn();
            guard.lock();
        }
    }
    return true;
}

template <typename Ready>
bool WaitFor(std::condition_variable &changed, std::unique_lock<std::mutex> &guard,
             std::chrono::milliseconds limit, Ready ready)
{
    return WaitUntil(changed, guard, std::chrono::steady_clock::now() + limit, ready);
}

}  // namespace sim::schedule
