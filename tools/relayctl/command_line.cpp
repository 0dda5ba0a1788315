#include "tools/relayctl/command_line.h"

#include "tools/relayctl/text.h"

std::optional<CommandLine> SplitCommandLine(int argc, char **argv)
{
    if (argc < 2) {
        return std::nullopt;
    }
    CommandLine line;
    line.Command = argv[1];
    for (int index = 2; index < argc; ++index) {
        std::string argument = argv[index];
        if (argument.rfind("--", 0) == 0) {
            if (index + 1 == argc || line.Options.count(argument) != 0) {
                return std::nullopt;
            }
            line.Options[argument] = argv[++index];
        } else {
            line.Positional.push_back(argument);
        }
    }
    return line;
}

std::optional<uint32_t> CommandLine::Number(const char *name, uint32_t fallback, uint32_t minimum,
                                            uint32_t maximum) const
{
    auto found = Options.find(name);
    if (found == Options.end()) {
        return fallback;
    }
    std::optional<uint32_t> value = ParseNumber(found->second);
    if (!value || *value < minimum || *value > maximum) {
        return std::nullopt;
    }
    return value;
}

bool CommandLine::OnlyOptions(std::initializer_list<const char *> allowed) const
{
    for (const auto &[name, value] : Options) {
        bool known = false;
        for (const char *candidate : allowed) {
            known = known || name == candidate;
        }
        if (!known) {
            return false;
        }
    }
    return true;
}

std::optional<uint32_t> TimeoutOption(const CommandLine &line)
{
    std::optional<uint32_t> seconds = line.Number("--timeout", 0, 0, 86400);
    if (!seconds) {
        return std::nullopt;
    }
    return *seconds == 0 ? kNoLimit : *seconds * 1000;
}
