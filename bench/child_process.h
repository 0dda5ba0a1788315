// Programs the benchmarks start: each dies with the thread that started it
// (a signal of the caller's choice, so that one with cleaning up to do can
// do it), and its end is awaited for a bounded time only.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace bench {

// Starts the program (looked up in PATH) with standard input from /dev/null
// and standard output and error to `output`, or to /dev/null when it is -1.
pid_t SpawnChild(const std::vector<std::string> &arguments, int output, int deathSignal = SIGKILL);

// Its exit status once it ends within the limit; past it, it is killed and
// -1 returned, as for one that did not exit by itself.
int ReapChild(pid_t child, std::chrono::milliseconds limit);

}  // namespace bench
