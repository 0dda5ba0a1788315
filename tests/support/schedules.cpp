#include "tests/support/schedules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "sim/client.h"
#include "sim/ndis.h"
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
// Every run of the seed in hand, as Interleaving prints them: what a seed run
// again must repeat.
std::string g_trace;

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
    g_trace.clear();
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
    const bool trace = EnvironmentNumber("REZEZURA_TRACE").value_or(0) != 0;
    const bool replay = EnvironmentNumber("REZEZURA_REPLAY").value_or(0) != 0;
    g_points = 0;
    g_switches = 0;

    g_plan = {.depth = 1, .steps = 1};
    if (!RunSeed(race, 0)) {
        ADD_FAILURE() << exploration.name << ": the run that counts the steps (seed 0) failed; its interleaving:\n"
                      << g_trace;
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
                          << g_trace;
            break;
        }
        if (trace) {
            std::printf("%s: seed %llu (party in routine: points):\n%s", exploration.name,
                        static_cast<unsigned long long>(seed), g_trace.c_str());
        }
        if (replay) {
            const std::string first_run = g_trace;
            if (!RunSeed(race, seed)) {
                ADD_FAILURE() << exploration.name << ": seed " << seed << " failed when run again";
                break;
            }
            if (g_trace != first_run) {
                ADD_FAILURE() << exploration.name << ": seed " << seed
                              << " did not run again the same way; first:\n"
                              << first_run << "again:\n"
                              << g_trace;
                break;
            }
        }
    }
    std::printf("%s: %u seeds of depth %u over %llu steps, %llu interleaving points, %llu changes of turn\n",
                exploration.name, ran, exploration.depth, static_cast<unsigned long long>(g_plan.steps),
                static_cast<unsigned long long>(g_points), static_cast<unsigned long long>(g_switches));
    return ran;
}

void RunParties(uint64_t seed, std::vector<std::function<void()>> parties)
{
    // Work the platform's threads took up before the turns begin would run
    // beside them, outside every seed's say: the turns begin once it is done.
    if (!sim::WaitForNdisWork(sim::kWaitLimit) || !sim::WaitForWorkItems(sim::kWaitLimit) ||
        !sim::WaitForDeferredCloses(sim::kWaitLimit)) {
        ADD_FAILURE() << "the platform's work begun before the parties did not end";
        return;
    }
    sim::schedule::Plan plan = g_plan;
    plan.seed = seed;
    g_latest = sim::schedule::Run(plan, std::move(parties));
    g_trace += Interleaving(g_latest);
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
