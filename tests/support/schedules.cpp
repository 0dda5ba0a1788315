#include "tests/support/schedules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "sim/schedule.h"
#include "sim/world.h"
#include "tests/support/sim_test.h"

namespace rztest {
namespace {

// Interleaving points and changes of turn over the seeds of one exploration.
uint64_t g_points = 0;
uint64_t g_switches = 0;

std::optional<uint64_t> EnvironmentNumber(const char *name)
{
    const char *text = std::getenv(name);
    if (text == nullptr || *text == 0) {
        return std::nullopt;
    }
    return std::strtoull(text, nullptr, 10);
}

}  // namespace

unsigned ExploreSchedules(const char *name, unsigned seeds, const std::function<void(uint64_t seed)> &race)
{
    uint64_t first = 1;
    uint64_t last = EnvironmentNumber("REZEZURA_SEEDS").value_or(seeds);
    if (std::optional<uint64_t> only = EnvironmentNumber("REZEZURA_SEED")) {
        first = last = *only;
    }
    g_points = 0;
    g_switches = 0;
    unsigned ran = 0;
    for (uint64_t seed = first; seed <= last; ++seed) {
        sim::ResetWorld();
        {
            SCOPED_TRACE("schedule seed " + std::to_string(seed));
            race(seed);
            CheckAndResetWorld();
        }
        ++ran;
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << name << ": seed " << seed << " failed; run it alone with REZEZURA_SEED=" << seed;
            break;
        }
    }
    std::printf("%s: %u seeds, %llu interleaving points, %llu changes of turn\n", name, ran,
                static_cast<unsigned long long>(g_points), static_cast<unsigned long long>(g_switches));
    return ran;
}

void RunParties(uint64_t seed, std::vector<std::function<void()>> parties)
{
    sim::schedule::Outcome outcome = sim::schedule::Run(seed, std::move(parties));
    g_points += outcome.points;
    g_switches += outcome.switches;
    if (!outcome.finished) {
        std::string where;
        for (const std::string &line : outcome.stalled) {
            where += "\n  " + line;
        }
        ADD_FAILURE() << "the parties did not all end in time:" << where;
    }
}

}  // namespace rztest
