// rezezura's benchmarks: one run prints one table of every figure beside
// what it is compared with. --brief runs each benchmark for one iteration
// and the callgrind loops over a few frames, only to prove they still run.
// Other arguments go to Google Benchmark (e.g. --benchmark_filter=).
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/instructions.h"
#include "bench/stage.h"
#include "bench/suites.h"
#include "bench/table.h"

int main(int argc, char **argv)
{
    bool brief = false;
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--brief") == 0) {
            brief = true;
        } else if (std::strncmp(argv[i], bench::kCountFlag, sizeof bench::kCountFlag - 1) == 0) {
            bench::CountNonEapolInstructions(std::strtoull(argv[i] + sizeof bench::kCountFlag - 1, nullptr, 10));
            return bench::EndStage() ? 0 : 1;
        } else {
            rest.push_back(argv[i]);
        }
    }

    bench::RegisterNonEapolFrames(brief);
    bench::RegisterEapolReads(brief);
    bench::RegisterWrites(brief);
    bench::RegisterServicePaths(brief);
    bench::RegisterAuthentications(brief);

    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) {
        return 2;
    }
    bench::CollectingReporter reporter;
    // Google Benchmark has said so when a filter matched nothing.
    if (benchmark::RunSpecifiedBenchmarks(&reporter) == 0) {
        return 2;
    }
    std::map<std::string, double> instructions;
    if (bench::WantsInstructions(reporter)) {
        instructions = bench::CountInstructions(brief ? 1000 : 100000);
    }

    bool complete = bench::PrintTable(reporter, instructions);
    bool clean = bench::EndStage();
    return complete && clean ? 0 : 1;
}
