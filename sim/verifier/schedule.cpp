#include "sim/schedule.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

namespace sim::schedule {
namespace {

constexpr int kNobody = -1;

// How likely a point is to hand the turn on. Each seed draws one: some runs
// change hands at almost every point, others let a party run long stretches
// and switch rarely, which is what a race between two long paths needs.
constexpr double kSwitchShares[] = {0.9, 0.5, 0.15, 0.03};

struct PartyState {
    bool runnable = true;  // taking turns: neither blocking nor done
    bool done = false;
    std::string lastPoint = "its start";
};

struct Scheduler {
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<bool> active{false};
    // Set when the limit ran out: the turns are over and every party runs freely.
    bool freeRunning = false;
    std::vector<PartyState> parties;
    int current = kNobody;
    std::mt19937_64 random;
    double switchShare = 0;
    uint64_t points = 0;
    uint64_t switches = 0;
    std::chrono::steady_clock::time_point deadline;
    std::vector<std::string> stalled;
};

Scheduler &State()
{
    static Scheduler scheduler;
    return scheduler;
}

thread_local int t_party = kNobody;

// A runnable party other than `self`, as the seed picks; kNobody when none.
int PickOther(Scheduler &s, int self)
{
    std::vector<int> others;
    for (int i = 0; i < static_cast<int>(s.parties.size()); ++i) {
        if (i != self && s.parties[i].runnable) {
            others.push_back(i);
        }
    }
    if (others.empty()) {
        return kNobody;
    }
    return others[std::uniform_int_distribution<size_t>(0, others.size() - 1)(s.random)];
}

// kNobody leaves the turn with no one until a party comes back from blocking.
void HandTo(Scheduler &s, int next)
{
    if (next != s.current) {
        s.current = next;
        s.switches += next != kNobody;
        s.changed.notify_all();
    }
}

// Where each party stood when the turns were given up.
void GiveUpTurns(Scheduler &s)
{
    if (s.freeRunning) {
        return;
    }
    s.freeRunning = true;
    for (size_t i = 0; i < s.parties.size(); ++i) {
        const PartyState &party = s.parties[i];
        s.stalled.push_back("party " + std::to_string(i) +
                            (party.done ? " had ended" : " stood at " + party.lastPoint));
    }
    s.changed.notify_all();
}

void WaitForTurn(Scheduler &s, std::unique_lock<std::mutex> &guard, int self)
{
    while (!s.freeRunning && s.current != self) {
        if (s.changed.wait_until(guard, s.deadline) == std::cv_status::timeout) {
            GiveUpTurns(s);
        }
    }
}

// The calling party's turn ends: to `next`, and it waits for its next one.
void Yield(Scheduler &s, std::unique_lock<std::mutex> &guard, int self, int next)
{
    if (next == kNobody) {
        return;
    }
    HandTo(s, next);
    WaitForTurn(s, guard, self);
}

bool TakingTurns()
{
    return t_party != kNobody && State().active.load(std::memory_order_acquire);
}

void RunParty(Scheduler &s, int self, const std::function<void()> &body)
{
    t_party = self;
    {
        std::unique_lock<std::mutex> guard(s.lock);
        WaitForTurn(s, guard, self);
    }
    body();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.parties[self].runnable = false;
        s.parties[self].done = true;
        s.parties[self].lastPoint = "its end";
        if (s.current == self) {
            HandTo(s, PickOther(s, self));
        }
        s.changed.notify_all();
    }
    t_party = kNobody;
}

}  // namespace

Outcome Run(uint64_t seed, std::vector<std::function<void()>> parties, std::chrono::milliseconds limit)
{
    Scheduler &s = State();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.parties.assign(parties.size(), PartyState{});
        s.random.seed(seed);
        s.switchShare = kSwitchShares[s.random() % std::size(kSwitchShares)];
        s.points = 0;
        s.switches = 0;
        s.freeRunning = false;
        s.stalled.clear();
        s.deadline = std::chrono::steady_clock::now() + limit;
        s.current = parties.empty() ? kNobody
                                    : static_cast<int>(s.random() % parties.size());
        s.active.store(true, std::memory_order_release);
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < parties.size(); ++i) {
        threads.emplace_back(RunParty, std::ref(s), static_cast<int>(i), std::cref(parties[i]));
    }

    Outcome outcome;
    {
        std::unique_lock<std::mutex> guard(s.lock);
        auto allDone = [&s] {
            for (const PartyState &party : s.parties) {
                if (!party.done) {
                    return false;
                }
            }
            return true;
        };
        if (!s.changed.wait_until(guard, s.deadline, allDone)) {
            GiveUpTurns(s);
        }
        outcome.finished = !s.freeRunning;
        outcome.stalled = s.stalled;
    }
    // Every wait a party can be in is bounded, so each returns.
    for (std::thread &thread : threads) {
        thread.join();
    }
    std::lock_guard<std::mutex> guard(s.lock);
    s.active.store(false, std::memory_order_release);
    outcome.points = s.points;
    outcome.switches = s.switches;
    s.parties.clear();
    s.current = kNobody;
    return outcome;
}

bool InParty()
{
    return TakingTurns();
}

void Point(const char *name)
{
    if (!TakingTurns()) {
        return;
    }
    Scheduler &s = State();
    std::unique_lock<std::mutex> guard(s.lock);
    if (s.freeRunning) {
        return;
    }
    ++s.points;
    s.parties[t_party].lastPoint = name;
    if (std::uniform_real_distribution<double>(0, 1)(s.random) < s.switchShare) {
        Yield(s, guard, t_party, PickOther(s, t_party));
    }
}

void Spin()
{
    if (!TakingTurns()) {
        return;
    }
    Scheduler &s = State();
    std::unique_lock<std::mutex> guard(s.lock);
    if (!s.freeRunning) {
        Yield(s, guard, t_party, PickOther(s, t_party));
    }
}

Blocking::Blocking() : stepped_(TakingTurns())
{
    if (!stepped_) {
        return;
    }
    Scheduler &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.parties[t_party].runnable = false;
    if (s.current == t_party) {
        HandTo(s, PickOther(s, t_party));
    }
}

Blocking::~Blocking()
{
    if (!stepped_) {
        return;
    }
    Scheduler &s = State();
    std::unique_lock<std::mutex> guard(s.lock);
    s.parties[t_party].runnable = true;
    if (s.current == kNobody) {
        HandTo(s, t_party);
    }
    WaitForTurn(s, guard, t_party);
}

}  // namespace sim::schedule
