// Seeded schedules: turns go by the seed's priorities, a seed always gives
// the same turns, a change point lets one party be overtaken at one point by
// a whole road of another's, a lock held by a waiting party is handed back to
// it, a party waiting in a platform wait lets the others on, platform work a
// party hands on runs as a party of its own, each step names its party and
// the driver routine it was in, and a party that blocks where the schedule
// cannot see it ends the turns after the limit instead of hanging.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/ke.h"
#include "platform/ndis.h"
#include "sim/schedule.h"
#include "tests/support/sim_test.h"

namespace {

using sim::schedule::Outcome;
using sim::schedule::Plan;

class Schedules : public rztest::SimTest {};

Plan PlanOf(uint64_t seed, unsigned depth = 2, uint64_t steps = 60)
{
    return {.seed = seed, .depth = depth, .steps = steps};
}

// Which party reached each of its interlocked increments, in the order they happened.
std::vector<int> TurnsOf(const Plan &plan)
{
    std::vector<int> order;
    std::mutex lock;
    LONG counter = 0;
    auto party = [&](int id) {
        return [&, id] {
            for (int i = 0; i < 20; ++i) {
                InterlockedIncrement(&counter);
                std::lock_guard<std::mutex> guard(lock);
                order.push_back(id);
            }
        };
    };
    Outcome outcome = sim::schedule::Run(plan, {party(0), party(1), party(2)});
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.points, 60u);
    EXPECT_EQ(outcome.steps.size(), 60u);
    EXPECT_EQ(counter, 60);
    return order;
}

// How often the order changes party.
int Changes(const std::vector<int> &order)
{
    int changes = 0;
    for (size_t i = 1; i < order.size(); ++i) {
        changes += order[i] != order[i - 1];
    }
    return changes;
}

TEST_F(Schedules, ASeedAlwaysGivesTheSameTurnsAndSeedsDiffer)
{
    std::set<std::vector<int>> orders;
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        std::vector<int> order = TurnsOf(PlanOf(seed, 3));
        EXPECT_EQ(TurnsOf(PlanOf(seed, 3)), order) << "seed " << seed;
        orders.insert(order);
    }
    EXPECT_GT(orders.size(), 4u);
}

// Without change points the highest-priority party runs to its end, then the
// next; each change point can change hands once more.
TEST_F(Schedules, TheHighestPriorityGoesAndEachChangePointHandsTheTurnOnAtMostOnce)
{
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        EXPECT_EQ(Changes(TurnsOf(PlanOf(seed, 1))), 2) << "seed " << seed;
        EXPECT_LE(Changes(TurnsOf(PlanOf(seed, 3))), 4) << "seed " << seed;
    }
}

// One party tests a flag and, a step later, acts on what it saw; the other
// takes thirty steps before it sets the flag. The race needs the first
// overtaken between its two steps by the other's whole road: a change point
// at that one step finds it, and no seed finds it without change points.
TEST_F(Schedules, AChangePointLetsOnePartyBeOvertakenByAWholeRoadOfAnother)
{
    auto overtaken = [](const Plan &plan) {
        LONG flag = 0;
        LONG sawClear = 0;
        LONG actedAfterSet = 0;
        Outcome outcome = sim::schedule::Run(
            plan, {[&] {
                       sawClear = InterlockedCompareExchange(&flag, 0, 0) == 0;
                       InterlockedIncrement(&actedAfterSet);
                       actedAfterSet = sawClear && InterlockedCompareExchange(&flag, 0, 0) == 1;
                   },
                   [&] {
                       LONG steps = 0;
                       for (int i = 0; i < 30; ++i) {
                           InterlockedIncrement(&steps);
                       }
                       InterlockedExchange(&flag, 1);
                   }});
        EXPECT_TRUE(outcome.finished);
        return actedAfterSet != 0;
    };
    unsigned found = 0;
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        EXPECT_FALSE(overtaken(PlanOf(seed, 1, 34))) << "seed " << seed;
        found += overtaken(PlanOf(seed, 2, 34));
    }
    // At least 1 in 2 * 34 seeds, as the priorities and change points promise.
    EXPECT_GE(found, 200u / 68);
}

TEST_F(Schedules, APartySpinningOnAHeldLockHandsTheTurnToItsHolder)
{
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        LONG inside = 0;
        auto critical = [&] {
            for (int i = 0; i < 5; ++i) {
                KIRQL irql = KfAcquireSpinLock(&lock);
                EXPECT_EQ(InterlockedIncrement(&inside), 1);
                InterlockedDecrement(&inside);
                KfReleaseSpinLock(&lock, irql);
            }
        };
        Outcome outcome = sim::schedule::Run(PlanOf(seed, 3), {critical, critical, critical});
        ASSERT_TRUE(outcome.finished) << "seed " << seed;
    }
}

// The waiting party tests the event at its turns, so how far the other had
// got when it woke is the seed's, the same on every run.
TEST_F(Schedules, APartyWaitingOnAnEventLetsTheOthersOnAndWakesAtTheSameStepEachTime)
{
    std::set<LONG> wakings;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        std::vector<LONG> seen;
        for (int run = 0; run < 2; ++run) {
            NDIS_EVENT event;
            NdisInitializeEvent(&event);
            BOOLEAN signalled = FALSE;
            LONG steps = 0;
            Outcome outcome = sim::schedule::Run(PlanOf(seed, 2, 10), {[&] {
                                                                          signalled = NdisWaitEvent(&event, 5000);
                                                                          seen.push_back(InterlockedCompareExchange(&steps, 0, 0));
                                                                      },
                                                                      [&] {
                                                                          InterlockedIncrement(&steps);
                                                                          NdisSetEvent(&event);
                                                                          for (int i = 0; i < 5; ++i) {
                                                                              InterlockedIncrement(&steps);
                                                                          }
                                                                      }});
            ASSERT_TRUE(outcome.finished) << "seed " << seed;
            EXPECT_TRUE(signalled);
        }
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0], seen[1]) << "seed " << seed;
        wakings.insert(seen[0]);
    }
    EXPECT_GT(wakings.size(), 1u);
}

// Work a party hands to a platform thread takes turns as a party of its own,
// from when its thread picks it up, and the run waits for its end.
TEST_F(Schedules, PlatformWorkAPartyHandsOnRunsAsAPartyOfItsOwn)
{
    for (uint64_t seed = 1; seed <= 10; ++seed) {
        std::thread platform;
        LONG count = 0;
        Outcome outcome = sim::schedule::Run(PlanOf(seed), {[&] {
            uint64_t ticket = sim::schedule::Announce(nullptr, "a platform thread");
            EXPECT_NE(ticket, 0u);
            platform = std::thread([ticket, &count] {
                sim::schedule::PlatformWork work(ticket);
                EXPECT_TRUE(sim::schedule::InParty());
                InterlockedIncrement(&count);
            });
            InterlockedIncrement(&count);
        }});
        platform.join();
        ASSERT_TRUE(outcome.finished) << "seed " << seed;
        EXPECT_EQ(outcome.parties, (std::vector<std::string>{"party 0", "a platform thread"}));
        std::set<int> stepped;
        for (const sim::schedule::Step &step : outcome.steps) {
            stepped.insert(step.party);
        }
        EXPECT_EQ(stepped, (std::set<int>{0, 1}));
    }
    EXPECT_EQ(sim::schedule::Announce(nullptr, "outside a run"), 0u);
}

TEST_F(Schedules, EachStepNamesItsPartyItsPointAndTheDriverRoutineItWasIn)
{
    LONG value = 0;
    Outcome outcome = sim::schedule::Run(PlanOf(1), {[&] {
        sim::schedule::DriverCall call("RelayDispatchRead");
        InterlockedIncrement(&value);
    }});
    ASSERT_EQ(outcome.steps.size(), 3u);
    EXPECT_EQ(std::string(outcome.steps[0].point), "call");
    EXPECT_EQ(std::string(outcome.steps[1].point), "Interlocked");
    EXPECT_EQ(std::string(outcome.steps[2].point), "return");
    for (const sim::schedule::Step &step : outcome.steps) {
        EXPECT_EQ(step.party, 0);
        EXPECT_EQ(step.routine, "RelayDispatchRead");
    }
}

// A party that got the first turn waits on a condition variable, a wait the
// schedule cannot see, so the party that would wake it never gets a turn: the
// limit ends the turns and both run freely to their end.
TEST_F(Schedules, AWaitTheScheduleCannotSeeEndsTheTurnsAfterTheLimit)
{
    Outcome outcome;
    for (uint64_t seed = 1; seed <= 10 && outcome.stalled.empty(); ++seed) {
        std::mutex lock;
        std::condition_variable changed;
        bool open = false;
        Plan plan = PlanOf(seed);
        plan.limit = std::chrono::milliseconds(200);
        outcome = sim::schedule::Run(plan, {[&] {
                                                std::unique_lock<std::mutex> guard(lock);
                                                changed.wait_for(guard, std::chrono::seconds(5), [&] { return open; });
                                            },
                                            [&] {
                                                LONG step = 0;
                                                InterlockedIncrement(&step);
                                                std::lock_guard<std::mutex> guard(lock);
                                                open = true;
                                                changed.notify_all();
                                            }});
    }
    EXPECT_FALSE(outcome.finished);
    ASSERT_EQ(outcome.stalled.size(), 2u);
    EXPECT_NE(outcome.stalled[1].find("stood at"), std::string::npos) << outcome.stalled[1];
    EXPECT_FALSE(sim::schedule::InParty());
}

}  // namespace
