// Races explored under many seeded schedules (sim/schedule.h). Each seed runs
// in a fresh sim world, whose work items are taken in the order the same seed
// picks (sim/work.h), and must end with no verifier finding and nothing
// left allocated; the first seed that fails ends the exploration and is named
// with the way to run it alone, and the steps of its interleaving are printed.
//
// The turns of each run begin once the platform's threads have finished what
// they took up before it, so that nothing runs beside the parties.
//
// Before the seeds, seed 0 runs once without change points: the steps it
// takes are the steps over which every seed's change points fall.
//
//   REZEZURA_SEED=<n>    runs only seed n, of every exploration the test makes
//   REZEZURA_SEEDS=<n>   runs seeds 1..n instead of each exploration's own count
//   REZEZURA_TRACE=1     prints every seed's interleaving, passing or not
//   REZEZURA_REPLAY=1    runs every seed twice and fails the first whose
//                        interleaving the second run did not repeat
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace rztest {

struct Exploration {
    const char *name;
    unsigned seeds;
    // How many orderings between the parties' steps a race needs at most
    // (each seed has depth - 1 change points): 2 is a party overtaken at one
    // point by another's whole road, 3 also a party overtaken twice, or a
    // window of one party that another must enter and leave again.
    unsigned depth = 3;
};

// Runs `race` once per seed; `race` builds its world, runs its parties with
// RunParties and checks what they left. Returns how many seeds ran.
unsigned ExploreSchedules(const Exploration &exploration, const std::function<void(uint64_t seed)> &race);

// The parties of one run under the seed's schedule; a test failure, naming
// where each party stood, when they did not all end in time.
void RunParties(uint64_t seed, std::vector<std::function<void()>> parties);

}  // namespace rztest
