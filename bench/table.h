// The one table a run prints: each figure with its unit, the comparison
// beside it, their ratio, and the goal where there is one. Figures come
// from Google Benchmark's runs (time per iteration or a counter) and from
// the instruction counts of the callgrind run.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace bench {

// Where a figure is read: a benchmark's real time per iteration in ns
// ("time"), one of its counters, or the callgrind instruction count of a
// loop of that name ("instructions"); divided by `per`. A source with a
// fixed value (a budget the design sets) reads that value.
struct Source {
    std::string name;
    std::string measure = "time";
    double per = 1;
    std::optional<double> fixed{};
};

// The start of the message of a benchmark skipped because this machine
// cannot run it (not root, a program missing): its rows say so and the run
// goes on. Any other skip is a failure of the run.
constexpr char kCannotRunHere[] = "cannot run here: ";

enum class Goal { None, RatioAtMost, RatioAtLeast, ValueAtMost };

struct Row {
    std::string figure;
    std::string unit;
    Source subject;
    std::string comparisonLabel;  // empty: no comparison
    Source comparison;
    Goal goal = Goal::None;
    double goalValue = 0;
};

void AddRow(const Row &row);
// A row that only introduces the rows below it.
void AddHeading(const std::string &heading);

// Keeps every run it is given, and prints nothing. A benchmark registered
// more than once (in rounds, interleaved with what it is compared with) has
// a run for each, and its figures are their median.
class CollectingReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context &) override { return true; }
    void ReportRuns(const std::vector<Run> &runs) override;

    const std::map<std::string, std::vector<Run>> &Runs() const { return runs_; }
    // Why each benchmark that was skipped was, by name.
    const std::map<std::string, std::string> &Skipped() const { return skipped_; }

private:
    std::map<std::string, std::vector<Run>> runs_;
    std::map<std::string, std::string> skipped_;
};

// True when a row that reads callgrind counts is among the selected ones.
bool WantsInstructions(const CollectingReporter &reporter);

// Prints the table; false when a figure is missing. Goals are reported, not
// enforced. A row none of whose benchmarks ran or was skipped was left out by
// a --benchmark_filter, and is left out of the table too.
bool PrintTable(const CollectingReporter &reporter, const std::map<std::string, double> &instructions);

}  // namespace bench
