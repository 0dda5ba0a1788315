// relayctl: a command-line client of rezezura, on Windows (the driver) and
// on Linux (rezezura-host). Each command opens the control device, attaches
// to the adapter named, does its one job and reports the outcome in words.
#include <cstdio>
#include <cstring>

#include "tools/relayctl/commands.h"
#include "tools/relayctl/stop_signal.h"

namespace {

const char kUsage[] =
    "usage: relayctl <command> [arguments]\n"
    "\n"
    "  list\n"
    "        the adapters a client can attach to\n"
    "  read  <adapter> [--count N] [--length BYTES] [--timeout SECONDS]\n"
    "        print received EAPOL frames (default: 1 frame, 1518 bytes of room,\n"
    "        no time limit; --count 0 reads until stopped)\n"
    "  write <adapter> <frame>\n"
    "        send one whole Ethernet frame given in hex, header included\n"
    "  query <adapter> <oid> [--length BYTES]\n"
    "        print the adapter's value of an OID (default room: 256 bytes)\n"
    "  set   <adapter> <oid> [value]\n"
    "        set an OID to a value given in hex (none: an empty value)\n"
    "  wait  <adapter> connect|disconnect|media-specific [--length BYTES] [--timeout SECONDS]\n"
    "        wait for one indication and print its status buffer\n"
    "  capture <adapter> <file.pcap> [--count N] [--timeout SECONDS]\n"
    "        write the EAPOL frames read to a pcap file, until N frames (0: no\n"
    "        limit, the default), the time limit or SIGTERM/SIGINT\n"
    "  bridge <adapter> <tapname>\n"
    "        a TAP interface through which a supplicant authenticates on the\n"
    "        adapter, until SIGTERM/SIGINT or the adapter goes away (Linux)\n"
    "\n"
#ifdef _WIN32
    "<adapter> is the adapter's device name, as in \\Device\\{GUID}.\n"
#else
    "<adapter> is the adapter's device name, as in \\Device\\eth0, or the bare\n"
    "interface name. The service's socket is REZEZURA_SOCKET, or\n"
    "/run/rezezura/control.\n"
#endif
    "Numbers are decimal or 0x-prefixed hex; hex bytes may be separated by\n"
    "':', '-' or ' '. Exit status: 0 done, 1 failed, 2 bad command line.\n";

struct Entry {
    const char *Name;
    int (*Run)(const CommandLine &line);
    size_t MinimumPositional;  // the adapter first, where there is one
};

const Entry kCommands[] = {
    {"list", ListCommand, 0},       {"read", ReadCommand, 1},     {"write", WriteCommand, 1},
    {"query", QueryCommand, 1},     {"set", SetCommand, 1},       {"wait", WaitCommand, 1},
    {"capture", CaptureCommand, 1}, {"bridge", BridgeCommand, 1},
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return kExitSuccess;
    }
    std::optional<CommandLine> line = SplitCommandLine(argc, argv);
    int status = kExitUsage;
    if (line) {
        for (const Entry &entry : kCommands) {
            if (line->Command == entry.Name && line->Positional.size() >= entry.MinimumPositional) {
                WatchStopSignals();
                status = entry.Run(*line);
                break;
            }
        }
    }
    if (status == kExitUsage) {
        std::fputs(kUsage, stderr);
    }
    return status;
}
