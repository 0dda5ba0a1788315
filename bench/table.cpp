#include "bench/table.h"

#include <algorithm>
#include <cstdio>

namespace bench {
namespace {

struct Line {
    bool heading;
    std::string text;
    Row row;
};

std::vector<Line> &Lines()
{
    static std::vector<Line> lines;
    return lines;
}

std::optional<double> Read(const Source &source, const CollectingReporter &reporter,
                           const std::map<std::string, double> &instructions)
{
    if (source.fixed) {
        return source.fixed;
    }
    if (source.name.empty()) {
        return std::nullopt;
    }
    if (source.measure == "instructions") {
        auto found = instructions.find(source.name);
        if (found == instructions.end()) {
            return std::nullopt;
        }
        return found->second / source.per;
    }
    auto found = reporter.Runs().find(source.name);
    if (found == reporter.Runs().end()) {
        return std::nullopt;
    }
    std::vector<double> values;
    for (const benchmark::BenchmarkReporter::Run &run : found->second) {
        if (source.measure == "time") {
            double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            values.push_back(seconds * 1e9);
            continue;
        }
        auto counter = run.counters.find(source.measure);
        if (counter == run.counters.end()) {
            return std::nullopt;
        }
        values.push_back(counter->second.value);
    }
    // The middle one, or the mean of the middle two.
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    double median = values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    return median / source.per;
}

std::string Number(std::optional<double> value)
{
    if (!value) {
        return "missing";
    }
    char text[32];
    double magnitude = *value < 0 ? -*value : *value;
    std::snprintf(text, sizeof text, magnitude >= 100 || *value == 0 ? "%.0f" : magnitude >= 10 ? "%.1f" : "%.2f",
                  *value);
    return text;
}

bool Ran(const Source &source, const CollectingReporter &reporter)
{
    return reporter.Runs().count(source.name) != 0 || reporter.Skipped().count(source.name) != 0;
}

// A row is selected when one of its benchmarks ran, or it reads none.
bool Selected(const Row &row, const CollectingReporter &reporter)
{
    bool readsBenchmarks = false;
    for (const Source *source : {&row.subject, &row.comparison}) {
        if (source->fixed || source->name.empty()) {
            continue;
        }
        readsBenchmarks = true;
        if (Ran(*source, reporter)) {
            return true;
        }
    }
    return !readsBenchmarks;
}

}  // namespace

bool WantsInstructions(const CollectingReporter &reporter)
{
    for (const Line &line : Lines()) {
        if (!line.heading && line.row.subject.measure == "instructions" && Selected(line.row, reporter)) {
            return true;
        }
    }
    return false;
}

void AddRow(const Row &row)
{
    Lines().push_back(Line{false, {}, row});
}

void AddHeading(const std::string &heading)
{
    Lines().push_back(Line{true, heading, {}});
}

void CollectingReporter::ReportRuns(const std::vector<Run> &runs)
{
    for (const Run &run : runs) {
        if (run.run_type != Run::RT_Iteration) {
            continue;
        }
        if (run.error_occurred) {
            skipped_[run.run_name.function_name] = run.error_message;
        } else {
            runs_[run.run_name.function_name].push_back(run);
        }
    }
}

bool PrintTable(const CollectingReporter &reporter, const std::map<std::string, double> &instructions)
{
    bool complete = true;
    std::printf("%-60s %10s %-12s %-34s %10s %7s  %s\n", "figure", "value", "unit", "comparison", "value",
                "ratio", "goal");
    const std::vector<Line> &lines = Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line &line = lines[i];
        if (line.heading) {
            // Printed when a row under it is.
            for (size_t j = i + 1; j < lines.size() && !lines[j].heading; ++j) {
                if (Selected(lines[j].row, reporter)) {
                    std::printf("\n%s\n", line.text.c_str());
                    break;
                }
            }
            continue;
        }
        const Row &row = line.row;
        if (!Selected(row, reporter)) {
            continue;
        }
        std::optional<double> value = Read(row.subject, reporter, instructions);
        std::optional<double> comparison = Read(row.comparison, reporter, instructions);
        std::optional<double> ratio;
        if (value && comparison && *comparison != 0) {
            ratio = *value / *comparison;
        }
        // A figure missing because its benchmark was skipped says why instead of a goal.
        std::string why;
        for (const Source *source : {&row.subject, &row.comparison}) {
            auto skipped = reporter.Skipped().find(source->name);
            if (why.empty() && !source->fixed && skipped != reporter.Skipped().end()) {
                why = skipped->second;
            }
        }
        std::string goal;
        if (!why.empty()) {
            goal = "skipped: " + why;
        } else if (row.goal != Goal::None) {
            std::optional<double> judged = row.goal == Goal::ValueAtMost ? value : ratio;
            bool atLeast = row.goal == Goal::RatioAtLeast;
            bool met = judged && (atLeast ? *judged >= row.goalValue : *judged <= row.goalValue);
            goal = std::string(row.goal == Goal::ValueAtMost ? "value " : "ratio ") + (atLeast ? ">= " : "<= ") +
                   Number(row.goalValue) + (met ? ": met" : ": NOT MET");
        }
        bool cannotRunHere = why.rfind(kCannotRunHere, 0) == 0;
        complete = complete && (cannotRunHere ||
                                (value.has_value() && (row.comparisonLabel.empty() || comparison.has_value())));
        std::printf("%-60s %10s %-12s %-34s %10s %7s  %s\n", row.figure.c_str(), Number(value).c_str(),
                    row.unit.c_str(), row.comparisonLabel.c_str(),
                    row.comparisonLabel.empty() ? "" : Number(comparison).c_str(),
                    ratio ? Number(ratio).c_str() : "", goal.c_str());
    }
    return complete;
}

}  // namespace bench
