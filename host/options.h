// rezezura-host's command line.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace host {

constexpr const char kDefaultSocket[] = "/run/rezezura/control";
constexpr std::chrono::microseconds kDefaultBusyPoll{50};
constexpr std::chrono::microseconds kMaxBusyPoll{1000};

struct Options {
    std::vector<std::string> adapters;  // interface names, in the order given
    bool all = false;
    bool everyFrame = false;  // no filter in the kernel: the driver sees every frame
    bool packetOptions = true;  // false: none asked for, the receive mode on the interface itself
    std::string socket = kDefaultSocket;
    std::optional<std::string> image;
    // How long the loop looks for more events before it sleeps.
    std::chrono::microseconds busyPoll = kDefaultBusyPoll;
    bool help = false;
    // How long the driver may take to finish binding or unbinding an
    // adapter before the service gives up on it; not on the command line.
    std::chrono::milliseconds moveLimit{10000};
};

extern const char kUsage[];

// The options, or the one line that says what is wrong with them.
struct ParsedOptions {
    std::optional<Options> options;
    std::string error;
};
ParsedOptions ParseOptions(int argc, char **argv);

}  // namespace host
