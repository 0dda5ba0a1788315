// Seeded schedules: parties take turns at the platform's interleaving points,
// a seed always gives the same turns, a lock held by a waiting party is
// handed back to it, a party blocked in a platform wait lets the others on,
// and a party that blocks where the schedule cannot see it ends the turns
// after the limit instead of hanging.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/ke.h"
#include "platform/ndis.h"
#include "sim/schedule.h"
#include "tests/support/gate.h"
#include "tests/support/sim_test.h"

namespace {

using sim::schedule::Outcome;

class Schedules : public rztest::SimTest {};

// Which party reached each of its interlocked increments, in the order they happened.
std::vector<int> TurnsOf(uint64_t seed)
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
    Outcome outcome = sim::schedule::Run(seed, {party(0), party(1), party(2)});
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.points, 60u);
    EXPECT_EQ(counter, 60);
    return order;
}

TEST_F(Schedules, ASeedAlwaysGivesTheSameTurnsAndSeedsDiffer)
{
    std::set<std::vector<int>> orders;
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        std::vector<int> order = TurnsOf(seed);
        EXPECT_EQ(TurnsOf(seed), order) << "seed " << seed;
        orders.insert(order);
    }
    EXPECT_GT(orders.size(), 4u);
}

// Two parties read a count and write it back one higher, each step an
// interlocked operation but the pair not atomic: some schedule loses an update.
TEST_F(Schedules, SomeSeedInterleavesAReadAndWriteBackBetweenTwoParties)
{
    bool lost = false;
    for (uint64_t seed = 1; seed <= 50 && !lost; ++seed) {
        LONG count = 0;
        auto increment = [&count] {
            LONG seen = InterlockedCompareExchange(&count, 0, 0);
            InterlockedExchange(&count, seen + 1);
        };
        ASSERT_TRUE(sim::schedule::Run(seed, {increment, increment}).finished);
        lost = count == 1;
    }
    EXPECT_TRUE(lost);
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
        Outcome outcome = sim::schedule::Run(seed, {critical, critical, critical});
        ASSERT_TRUE(outcome.finished) << "seed " << seed;
    }
}

TEST_F(Schedules, APartyWaitingOnAnEventStepsOutOfTheTurns)
{
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        NDIS_EVENT event;
        NdisInitializeEvent(&event);
        BOOLEAN signalled = FALSE;
        Outcome outcome = sim::schedule::Run(seed, {[&] { signalled = NdisWaitEvent(&event, 5000); },
                                                    [&] {
                                                        LONG step = 0;
                                                        InterlockedIncrement(&step);
                                                        NdisSetEvent(&event);
                                                    }});
        ASSERT_TRUE(outcome.finished) << "seed " << seed;
        EXPECT_TRUE(signalled);
    }
}

// A party that got the first turn waits at a gate, a wait the schedule
// cannot see, so the party that would open it never gets a turn: the limit
// ends the turns and both run freely to their end.
TEST_F(Schedules, AWaitTheScheduleCannotSeeEndsTheTurnsAfterTheLimit)
{
    Outcome outcome;
    for (uint64_t seed = 1; seed <= 10 && outcome.stalled.empty(); ++seed) {
        auto gate = std::make_unique<rztest::Gate>();
        outcome = sim::schedule::Run(seed, {[&] { gate->Wait(); },
                                            [&] {
                                                LONG step = 0;
                                                InterlockedIncrement(&step);
                                                gate->Open();
                                            }},
                                     std::chrono::milliseconds(200));
    }
    EXPECT_FALSE(outcome.finished);
    ASSERT_EQ(outcome.stalled.size(), 2u);
    EXPECT_NE(outcome.stalled[1].find("stood at"), std::string::npos) << outcome.stalled[1];
    EXPECT_FALSE(sim::schedule::InParty());
}

}  // namespace
