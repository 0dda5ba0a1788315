// Races explored under many seeded schedules (sim/schedule.h). Each seed runs
// in a fresh sim world that must end with no verifier finding and nothing
// left allocated; the first seed that fails ends the exploration and is named
// with the way to run it alone.
//
//   REZEZURA_SEED=<n>    runs only seed n, of every exploration the test makes
//   REZEZURA_SEEDS=<n>   runs seeds 1..n instead of each exploration's own count
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace rztest {

// Runs `race` once per seed; `race` builds its world, runs its parties with
// RunParties and checks what they left. Returns how many seeds ran.
unsigned ExploreSchedules(const char *name, unsigned seeds, const std::function<void(uint64_t seed)> &race);

// The parties of one run under the seed's schedule; a test failure, naming
// where each party stood, when they did not all end in time.
void RunParties(uint64_t seed, std::vector<std::function<void()>> parties);

}  // namespace rztest
