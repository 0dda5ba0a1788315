#include "tests/support/schedules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "sim/schedule.h"
#include "sim/work.h"
#include "sim/world.h"
#include "tests/support/sim_test.h"

namespace rztest {
namespace {

// The plan every RunParties of the exploration follows but for its seed.
sim::schedule::Plan g_plan;
// Interleaving points and changes of turn over the seeds of one exploration.
uint64_t g_points = 0;
uint64_t g_switches = 0;
// The latest run, printed when its seed failed.
sim::schedule::Outcome g_latest;

std::optional<uint64_t> EnvironmentNumber(const char *name)
{
    const char *text = std::getenv(name);
    if (text == nullptr || *text == 0) {
        return std::nullopt;
    }
    return std::strtoull(text, nullptr, 10);
}

// One line per stretch of steps a party took in one routine, its points in
// order with repeats counted.
std::string Interleaving(const sim::schedule::Outcome &run)
{
    std::string text;
    size_t i = 0;
    while (i < run.steps.size()) {
        const sim::schedule::Step &first = run.steps[i];
        text += "  " + run.parties[first.party] + " in " +
                (first.routine.empty() ? std::string("the platform") : first.routine) + ":";
        const char *separator = " ";
        while (i < run.steps.size() && run.steps[i].party == first.party && run.steps[i].routine == first.routine) {
            std::string point = run.steps[i].point;
            unsigned repeats = 1;
            for (++i; i < run.steps.size() && run.steps[i].party == first.party &&
                      run.steps[i].routine == first.routine && point == run.steps[i].point;
                 ++i) {
                ++repeats;
            }
            text += separator + point + (repeats > 1 ? " x" + std::to_string(repeats) : "");
            separator = ", ";
        }
        text += "\n";
    }
    return text;
}

// Runs one seed in a fresh world; false when it failed.
bool RunSeed(const std::function<void(uint64_t seed)> &race, uint64_t seed)
{
    sim::ResetWorld();
    sim::SeedWorkOrder(seed);
    g_latest = {};
    {
        SCOPED_TRACE("schedule seed " + std::to_string(seed));
        race(seed);
        CheckAndResetWorld();
    }
    return !::testing::Test::HasFailure();
}

}  // namespace

unsigned ExploreSchedules(const Exploration &exploration, const std::function<void(uint64_t seed)> &race)
{
    uint64_t first = 1;
    uint64_t last = EnvironmentNumber("REZEZURA_SEEDS").value_or(exploration.seeds);
    if (std::optional<uint64_t> only = EnvironmentNumber("REZEZURA_SEED")) {
        first = last = *only;
    }
    g_points = 0;
    g_switches = 0;

    g_plan = {.depth = 1, .steps = 1};
    if (!RunSeed(race, 0)) {
        ADD_FAILURE() << exploration.name << ": the run that counts the steps (seed 0) failed; its interleaving:\n"
                      << Interleaving(g_latest);
        return 0;
    }
    g_plan = {.depth = exploration.depth, .steps = std::max<uint64_t>(g_latest.steps.size(), 1)};

    unsigned ran = 0;
    for (uint64_t seed = first; seed <= last; ++seed) {
        bool passed = RunSeed(race, seed);
        ++ran;
        if (!passed) {
            ADD_FAILURE() << exploration.name << ": seed " << seed << " failed; run it alone with REZEZURA_SEED="
                          << seed << "; its interleaving (party in routine: points):\n"
                          << Interleaving(g_latest);
            break;
        }
    }
    std::printf("%s: %u seeds of depth %u over %llu steps, %llu interleaving points, %llu changes of turn\n",
                exploration.name, ran, exploration.depth, static_cast<unsigned long long>(g_plan.steps),
                static_cast<unsigned long long>(g_points), static_cast<unsigned long long>(g_switches));
    return ran;
}

void RunParties(uint64_t seed, std::vector<std::function<void()>> parties)
{
    sim::schedule::Plan plan = g_plan;
    plan.seed = seed;
    g_latest = sim::schedule::Run(plan, std::move(parties));
    g_points += g_latest.points;
    g_switches += g_latest.switches;
    if (!g_latest.finished) {
        std::string where;
        for (const std::string &line : g_latest.stalled) {
            where += "\n  " + line;
        }
        ADD_FAILURE() << "the parties did not all end in time:" << where;
    }
}

}  // namespace rztest
