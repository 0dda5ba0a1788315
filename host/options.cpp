#include "host/options.h"

#include <net/if.h>

#include <algorithm>
#include <optional>
#include <string>

namespace host {

const char kUsage[] =
    "usage: rezezura-host (--adapter IFNAME ... | --all) [--socket PATH] [--image PATH]\n"
    "                     [--every-frame] [--no-packet-options] [--busy-poll USEC]\n"
    "\n"
    "Runs the rezezura driver over the sim with adapters backed by Linux Ethernet\n"
    "interfaces, and serves its control device \\\\.\\rezezura to clients on a UNIX\n"
    "socket until SIGTERM or SIGINT.\n"
    "\n"
    "  --adapter IFNAME  offer the interface to the driver as \\Device\\IFNAME\n"
    "                    (repeatable)\n"
    "  --all             offer every Ethernet interface but TAPs, and each one that\n"
    "                    appears\n"
    "  --socket PATH     where clients connect (default /run/rezezura/control;\n"
    "                    clients use REZEZURA_SOCKET to name another)\n"
    "  --image PATH      run the driver image at PATH (rezezura.sys) instead of the\n"
    "                    driver linked in; the 32-bit x86 build only\n"
    "  --every-frame     offer the driver every frame the interfaces receive, as\n"
    "                    NDIS does, rather than only untagged EAPOL (0x888E) frames\n"
    "                    let through by a filter in the kernel\n"
    "  --no-packet-options\n"
    "                    ask the kernel for no packet-socket options, as where it\n"
    "                    refuses them (qemu-user): the packet filter and multicast\n"
    "                    list go to the interfaces' own flags and multicast lists,\n"
    "                    recorded in PATH.changes beside the socket until undone\n"
    "  --busy-poll USEC  after each wake-up, look for more work for up to USEC\n"
    "                    microseconds (0 to 1000, default 50) before sleeping: a\n"
    "                    frame or request that comes meanwhile is served without\n"
    "                    a wake-up; 0 never spins\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 when stopped with the verifier's rules kept and nothing left\n"
    "behind; 1 on an error or a broken rule; 2 on a bad command line.\n";

namespace {

std::optional<std::chrono::microseconds> Microseconds(const std::string &text)
{
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    std::chrono::microseconds value{std::stoi(text)};
    return value <= kMaxBusyPoll ? std::optional(value) : std::nullopt;
}

}  // namespace

ParsedOptions ParseOptions(int argc, char **argv)
{
    ParsedOptions parsed;
    Options options;
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            parsed.options = options;
            return parsed;
        }
        if (argument == "--all") {
            options.all = true;
            continue;
        }
        if (argument == "--every-frame") {
            options.everyFrame = true;
            continue;
        }
        if (argument == "--no-packet-options") {
            options.packetOptions = false;
            continue;
        }
        bool takesValue =
            argument == "--adapter" || argument == "--socket" || argument == "--image" || argument == "--busy-poll";
        if (!takesValue) {
            parsed.error = "unknown argument " + argument + "; see rezezura-host --help";
            return parsed;
        }
        if (index + 1 == argc) {
            parsed.error = argument + " needs a value; see rezezura-host --help";
            return parsed;
        }
        std::string value = argv[++index];
        if (argument == "--adapter") {
            if (value.empty() || value.size() >= IFNAMSIZ || value.find('/') != std::string::npos) {
                parsed.error = "\"" + value + "\" is no interface name";
                return parsed;
            }
            if (std::find(options.adapters.begin(), options.adapters.end(), value) == options.adapters.end()) {
                options.adapters.push_back(value);
            }
        } else if (argument == "--socket") {
            options.socket = value;
        } else if (argument == "--busy-poll") {
            std::optional<std::chrono::microseconds> busyPoll = Microseconds(value);
            if (!busyPoll) {
                parsed.error = "--busy-poll takes microseconds from 0 to " + std::to_string(kMaxBusyPoll.count()) +
                               ", not \"" + value + "\"";
                return parsed;
            }
            options.busyPoll = *busyPoll;
        } else {
            options.image = value;
        }
    }
    if (options.all == !options.adapters.empty()) {
        parsed.error = "name the interfaces with --adapter, or give --all; see rezezura-host --help";
        return parsed;
    }
    parsed.options = options;
    return parsed;
}

}  // namespace host
