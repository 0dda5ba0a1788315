// relayctl's command line: the command, its positional arguments and its
// --name value options, and the checks every command shares.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct CommandLine {
    std::string Command;
    std::vector<std::string> Positional;  // after the command
    std::map<std::string, std::string> Options;

    // A number option within [minimum, maximum], the fallback when absent,
    // nothing when malformed or out of range.
    std::optional<uint32_t> Number(const char *name, uint32_t fallback, uint32_t minimum, uint32_t maximum) const;
    // Whether every option given is one of these.
    bool OnlyOptions(std::initializer_list<const char *> allowed) const;
};

// Nothing when an option lacks its value or comes twice.
std::optional<CommandLine> SplitCommandLine(int argc, char **argv);

constexpr uint32_t kNoLimit = 0xFFFFFFFFu;
// --timeout SECONDS as milliseconds (0 or absent: kNoLimit).
std::optional<uint32_t> TimeoutOption(const CommandLine &line);
