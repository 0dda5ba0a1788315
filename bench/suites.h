// The benchmark suites. Each registers its benchmarks with Google Benchmark
// and its rows in the table; `brief` runs each benchmark for a few
// iterations only, to prove it still runs.
#pragma once

#include <cstdint>

namespace bench {

void RegisterNonEapolFrames(bool brief);
void RegisterEapolReads(bool brief);
void RegisterWrites(bool brief);
// The host service on a veth pair, and whole authentications through it (root).
void RegisterServicePaths(bool brief);
void RegisterAuthentications(bool brief);

// Inside the callgrind run: each non-EAPOL subject on each frame `frames`
// times, every loop collected and dumped under its own name.
void CountNonEapolInstructions(uint64_t frames);

}  // namespace bench
