// Instruction counts under callgrind: this program runs itself once more
// under `valgrind --tool=callgrind`, where each non-EAPOL subject loops over
// its frames with collection on only for the loop, and each loop's count is
// dumped under its benchmark's name. Counts do not depend on what else the
// machine runs.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace bench {

// The flag that makes this program the counted run.
constexpr char kCountFlag[] = "--count-instructions=";

// Instructions per frame of every loop, by benchmark name; empty, with the
// reason on stderr, when the callgrind run failed.
std::map<std::string, double> CountInstructions(uint64_t frames);

}  // namespace bench
