// The sim as a whole: a fresh world for every test, and the end-of-test
// account of everything the driver still holds.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Forgets faults, hooks, counters, recorded violations and handles, and
// brings the registry and the Windows version back to their defaults.
void ResetWorld();

// Everything of the driver's still allocated, one line each (empty: nothing leaked).
std::vector<std::string> Leaks();

}  // namespace sim
