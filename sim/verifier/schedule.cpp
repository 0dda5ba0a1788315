#include "sim/schedule.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "sim/io/client_internal.h"

namespace sim::schedule {
namespace {

constexpr int kNobody = -1;
constexpr uint64_t kNever = ~uint64_t{0};

enum class Standing {
    Announced,  // platform work not yet picked up by its thread
    Going,      // can take a turn
    Waiting,    // tests a condition at its turns (WaitUntil)
    Done,
};

struct PartyState {
    std::string name;
    Standing standing = Standing::Going;
    // Higher goes first. The seed's priorities lie above every value a
    // change point gives, which are 1 .. depth - 1.
    uint64_t priority = 0;
    // The step count at which the party last could not go on (spinning, or
    // its condition false); it can again once another party took a step.
    uint64_t stuckAt = kNever;
    const void *lane = nullptr;
    bool ownLane = false;
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
    // Step numbers at which the running party drops, in order.
    std::vector<uint64_t> changePoints;
    size_t changesMade = 0;
    uint64_t points = 0;
    uint64_t switches = 0;
    // Counts every step that may change what a stuck party waits for.
    uint64_t progress = 0;
    std::vector<Step> steps;
    std::chrono::steady_clock::time_point deadline;
    std::vector<std::string> stalled;
    // Tells one run's platform work from another's.
    uint64_t generation = 0;
};

Scheduler &State()
{
    static Scheduler scheduler;
    return scheduler;
}

thread_local int t_party = kNobody;
thread_local std::vector<const char *> t_routines;

uint64_t SeedPriority(Scheduler &s)
{
    return (s.random() >> 1) | (uint64_t{1} << 62);
}

bool Active(const PartyState &party)
{
    return party.standing == Standing::Going || party.standing == Standing::Waiting;
}

// Work announced on a lane joins once the lane's earlier work is done; until
// then no turn is decided, so that the order of turns does not depend on when
// a platform thread woke up.
bool ArrivalDue(const Scheduler &s)
{
    for (size_t i = 0; i < s.parties.size(); ++i) {
        const PartyState &party = s.parties[i];
        if (party.standing != Standing::Announced) {
            continue;
        }
        if (party.ownLane) {
            return true;
        }
        bool earlierBusy = false;
        for (size_t j = 0; j < i && !earlierBusy; ++j) {
            earlierBusy = !s.parties[j].ownLane && s.parties[j].lane == party.lane &&
                          s.parties[j].standing != Standing::Done;
        }
        if (!earlierBusy) {
            return true;
        }
    }
    return false;
}

void GiveUpTurns(Scheduler &s)
{
    if (s.freeRunning) {
        return;
    }
    s.freeRunning = true;
    for (size_t i = 0; i < s.parties.size(); ++i) {
        const PartyState &party = s.parties[i];
        s.stalled.push_back("party " + std::to_string(i) + " (" + party.name + ")" +
                            (party.standing == Standing::Done        ? " had ended"
                             : party.standing == Standing::Announced ? " was never picked up"
                                                                     : " stood at " + party.lastPoint));
    }
    s.changed.notify_all();
}

void WaitForArrivals(Scheduler &s, std::unique_lock<std::mutex> &guard)
{
    while (!s.freeRunning && ArrivalDue(s)) {
        if (s.changed.wait_until(guard, s.deadline) == std::cv_status::timeout) {
            GiveUpTurns(s);
        }
    }
}

// The party whose turn it is: the highest priority of those that can go on.
int Pick(Scheduler &s, std::unique_lock<std::mutex> &guard)
{
    WaitForArrivals(s, guard);
    int best = kNobody;
    for (int i = 0; i < static_cast<int>(s.parties.size()); ++i) {
        const PartyState &party = s.parties[i];
        if (!Active(party) || party.stuckAt == s.progress) {
            continue;
        }
        if (best == kNobody || party.priority > s.parties[best].priority) {
            best = i;
        }
    }
    return best;
}

void HandTo(Scheduler &s, int next)
{
    if (next != s.current) {
        s.switches += next != kNobody && s.current != kNobody;
        s.current = next;
        s.changed.notify_all();
    }
}

void WaitForTurn(Scheduler &s, std::unique_lock<std::mutex> &guard, int self)
{
    while (!s.freeRunning && s.current != self) {
        if (s.changed.wait_until(guard, s.deadline) == std::cv_status::timeout) {
            GiveUpTurns(s);
        }
    }
}

bool TakingTurns()
{
    return t_party != kNobody && State().active.load(std::memory_order_acquire);
}

// The calling party's step: counted, recorded, and at a change point its
// priority drops below every other party's.
void TakeStep(Scheduler &s, const char *point)
{
    ++s.points;
    ++s.progress;
    PartyState &self = s.parties[t_party];
    self.lastPoint = point;
    s.steps.push_back({t_party, point, t_routines.empty() ? std::string() : std::string(t_routines.back())});
    if (s.changesMade < s.changePoints.size() && s.points >= s.changePoints[s.changesMade]) {
        ++s.changesMade;
        self.priority = s.changePoints.size() + 1 - s.changesMade;
    }
}

void StepAt(const char *point)
{
    if (!TakingTurns()) {
        return;
    }
    Scheduler &s = State();
    std::unique_lock<std::mutex> guard(s.lock);
    if (s.freeRunning) {
        return;
    }
    TakeStep(s, point);
    int next = Pick(s, guard);
    if (next != kNobody && next != t_party) {
        HandTo(s, next);
        WaitForTurn(s, guard, t_party);
    }
}

// The calling party is done: the turn goes on.
void Leave(Scheduler &s)
{
    std::unique_lock<std::mutex> guard(s.lock);
    s.parties[t_party].standing = Standing::Done;
    s.parties[t_party].lastPoint = "its end";
    ++s.progress;
    if (s.current == t_party || s.current == kNobody) {
        s.current = kNobody;
        HandTo(s, Pick(s, guard));
    }
    s.changed.notify_all();
    t_party = kNobody;
}

void RunParty(Scheduler &s, int self, const std::function<void()> &body)
{
    t_party = self;
    {
        std::unique_lock<std::mutex> guard(s.lock);
        WaitForTurn(s, guard, self);
    }
    body();
    // The thread's exit is the party's too: the requests it leaves pending
    // are cancelled in its turns, not beside them.
    CancelExitingThreadRequests();
    Leave(s);
}

bool AllDone(const Scheduler &s)
{
    return std::all_of(s.parties.begin(), s.parties.end(),
                       [](const PartyState &party) { return party.standing == Standing::Done; });
}

}  // namespace

Outcome Run(const Plan &plan, std::vector<std::function<void()>> parties)
{
    Scheduler &s = State();
    {
        std::unique_lock<std::mutex> guard(s.lock);
        ++s.generation;
        s.random.seed(plan.seed);
        s.parties.assign(parties.size(), PartyState{});
        for (size_t i = 0; i < parties.size(); ++i) {
            s.parties[i].name = "party " + std::to_string(i);
            s.parties[i].priority = SeedPriority(s);
        }
        s.changePoints.clear();
        for (unsigned i = 1; i < plan.depth; ++i) {
            s.changePoints.push_back(1 + s.random() % std::max<uint64_t>(plan.steps, 1));
        }
        std::sort(s.changePoints.begin(), s.changePoints.end());
        s.changesMade = 0;
        s.points = 0;
        s.switches = 0;
        s.progress = 0;
        s.steps.clear();
        s.freeRunning = false;
        s.stalled.clear();
        s.deadline = std::chrono::steady_clock::now() + plan.limit;
        s.current = kNobody;
        HandTo(s, Pick(s, guard));
        s.active.store(true, std::memory_order_release);
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < parties.size(); ++i) {
        threads.emplace_back(RunParty, std::ref(s), static_cast<int>(i), std::cref(parties[i]));
    }

    Outcome outcome;
    {
        std::unique_lock<std::mutex> guard(s.lock);
        if (!s.changed.wait_until(guard, s.deadline, [&s] { return AllDone(s); })) {
            GiveUpTurns(s);
        }
        outcome.finished = !s.freeRunning;
        outcome.stalled = s.stalled;
    }
    // Every wait a party can be in is bounded, so each returns.
    for (std::thread &thread : threads) {
        thread.join();
    }
    std::unique_lock<std::mutex> guard(s.lock);
    // Platform work given up with the turns ends on its own thread; no turn
    // waits for it any more.
    s.changed.wait_until(guard, std::chrono::steady_clock::now() + plan.limit, [&s] {
        return std::none_of(s.parties.begin(), s.parties.end(),
                            [](const PartyState &party) { return Active(party); });
    });
    s.active.store(false, std::memory_order_release);
    outcome.points = s.points;
    outcome.switches = s.switches;
    for (const PartyState &party : s.parties) {
        outcome.parties.push_back(party.name);
    }
    outcome.steps = std::move(s.steps);
    s.steps.clear();
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
    StepAt(name);
}

void Spin()
{
    if (!TakingTurns()) {
        return;
    }
    Scheduler &s = State();
    std::unique_lock<std::mutex> guard(s.lock);
    if (s.freeRunning) {
        return;
    }
    s.parties[t_party].stuckAt = s.progress;
    int next = Pick(s, guard);
    // With no other party able to go on, the lock's holder is a thread
    // outside the turns: the spinner keeps the turn and spins on.
    if (next != kNobody) {
        HandTo(s, next);
        WaitForTurn(s, guard, t_party);
    }
}

DriverCall::DriverCall(const char *routine) : counted_(TakingTurns())
{
    if (!counted_) {
        return;
    }
    t_routines.push_back(routine);
    StepAt("call");
}

DriverCall::~DriverCall()
{
    if (!counted_) {
        return;
    }
    StepAt("return");
    t_routines.pop_back();
}

uint64_t Announce(const void *lane, const char *name)
{
    if (!TakingTurns()) {
        return 0;
    }
    Scheduler &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.freeRunning) {
        return 0;
    }
    PartyState party;
    party.name = name;
    party.standing = Standing::Announced;
    party.priority = SeedPriority(s);
    party.lane = lane;
    party.ownLane = lane == nullptr;
    s.parties.push_back(party);
    return s.generation << 32 | s.parties.size();
}

PlatformWork::PlatformWork(uint64_t ticket) : joined_(false)
{
    Scheduler &s = State();
    if (ticket == 0 || !s.active.load(std::memory_order_acquire)) {
        return;
    }
    std::unique_lock<std::mutex> guard(s.lock);
    const uint64_t index = (ticket & 0xFFFFFFFF) - 1;
    if (ticket >> 32 != s.generation || index >= s.parties.size() ||
        s.parties[index].standing != Standing::Announced) {
        return;
    }
    joined_ = true;
    t_party = static_cast<int>(index);
    s.parties[t_party].standing = Standing::Going;
    ++s.progress;
    s.changed.notify_all();
    if (s.current == kNobody) {
        HandTo(s, Pick(s, guard));
    }
    WaitForTurn(s, guard, t_party);
}

PlatformWork::~PlatformWork()
{
    if (joined_) {
        Leave(State());
    }
}

bool PassTurn()
{
    Scheduler &s = State();
    std::unique_lock<std::mutex> guard(s.lock);
    if (s.freeRunning) {
        return false;
    }
    s.parties[t_party].standing = Standing::Waiting;
    s.parties[t_party].stuckAt = s.progress;
    int next = Pick(s, guard);
    if (next == kNobody) {
        if (s.current == t_party) {
            HandTo(s, kNobody);
        }
        return false;
    }
    HandTo(s, next);
    WaitForTurn(s, guard, t_party);
    s.parties[t_party].standing = Standing::Going;
    return true;
}

void TakeTurn()
{
    Scheduler &s = State();
    std::unique_lock<std::mutex> guard(s.lock);
    if (s.freeRunning) {
        return;
    }
    s.parties[t_party].standing = Standing::Going;
    s.parties[t_party].stuckAt = kNever;
    ++s.progress;
    if (s.current == kNobody) {
        HandTo(s, Pick(s, guard));
    }
    WaitForTurn(s, guard, t_party);
}

}  // namespace sim::schedule
