// What the benchmarks of whole requests share: the platform's counters read
// around the timed part of each iteration, and the sim's records of finished
// requests forgotten now and then, so that millions of requests keep the
// run's memory bounded.
#pragma once

#include <chrono>
#include <cstdint>

#include <benchmark/benchmark.h>

#include "sim/counters.h"

namespace bench {

// The counters' growth over the timed parts of a benchmark's iterations.
class CountedRun {
public:
    explicit CountedRun(benchmark::State &state) : state_(state) {}

    // Around the timed part of one iteration.
    void Start();
    void Stop();

    // Per iteration, divided by `per`: the benchmark's counters.
    void Report(double per);

private:
    benchmark::State &state_;
    sim::PlatformCounters total_{};
    sim::PlatformCounters before_{};
    std::chrono::steady_clock::time_point started_{};
    uint64_t iterations_ = 0;
};

}  // namespace bench
