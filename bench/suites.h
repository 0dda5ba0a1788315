// The benchmark suites. Each registers its benchmarks with Google Benchmark
// and its rows in the table; `brief` runs each benchmark for a few
// iterations only, to prove it still runs.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

void RegisterNonEapolFrames(bool brief);
void RegisterEapolReads(bool brief);
void RegisterWrites(bool brief);
// The host service on a veth pair, and whole authentications through it (root).
void RegisterServicePaths(bool brief);
void RegisterAuthentications(bool brief);
// One client-service crossing's kernel cost, beside the floor's latency read
// from the benchmark named `floorLatency`; a row of the service's table.
void RegisterMessageHop(bool brief, const std::string &floorLatency);

// Inside the callgrind run: each non-EAPOL subject on each frame `frames`
// times, every loop collected and dumped under its own name.
void CountNonEapolInstructions(uint64_t frames);

}  // namespace bench
