// relayctl: a command-line client of rezezura, on Windows (the driver) and
// on Linux (rezezura-host). Each command opens the control device, attaches
// to the adapter named, does its one job and reports the outcome in words.
#include <cstdio>
#include <cstring>

#include "tools/relayctl/commands.h"
#include "tools/relayctl/stop_signal.h"

namespace {

struct Entry {
    const char *Name;
    int (*Run)(const CommandLine &line);
    size_t MinimumPositional;  // the adapter first, where there is one
    const char *Arguments;
    const char *Description;   // lines of the full usage, each indented
};

const Entry kCommands[] = {
    {"list", ListCommand, 0, "", "the adapters a client can attach to\n"},
    {"read", ReadCommand, 1, "<adapter> [--count N] [--length BYTES] [--timeout SECONDS]",
     "print received EAPOL frames (default: 1 frame, 1518 bytes of room,\n"
     "no time limit; --count 0 reads until stopped)\n"},
    {"write", WriteCommand, 1, "<adapter> <frame>", "send one whole Ethernet frame given in hex, header included\n"},
    {"query", QueryCommand, 1, "<adapter> <oid> [--length BYTES]",
     "print the adapter's value of an OID (default room: 256 bytes)\n"},
    {"set", SetCommand, 1, "<adapter> <oid> [value]", "set an OID to a value given in hex (none: an empty value)\n"},
    {"wait", WaitCommand, 1, "<adapter> connect|disconnect|media-specific [--length BYTES] [--timeout SECONDS]",
     "wait for one indication and print its status buffer\n"},
    {"capture", CaptureCommand, 1, "<adapter> <file.pcap> [--count N] [--timeout SECONDS]",
     "write the EAPOL frames read to a pcap file, until N frames (0: no\n"
     "limit, the default), the time limit or SIGTERM/SIGINT\n"},
    {"bridge", BridgeCommand, 1, "<adapter> <tapname>",
     "a TAP interface through which a supplicant authenticates on the\n"
     "adapter, until SIGTERM/SIGINT or the adapter goes away (Linux)\n"},
};

const char kNotes[] =
#ifdef _WIN32
    "<adapter> is the adapter's device name, as in \\Device\\{GUID}.\n"
#else
    "<adapter> is the adapter's device name, as in \\Device\\eth0, or the bare\n"
    "interface name. The service's socket is REZEZURA_SOCKET, or\n"
    "/run/rezezura/control.\n"
#endif
    "Numbers are decimal or 0x-prefixed hex; hex bytes may be separated by\n"
    "':', '-' or ' '. Exit status: 0 done, 1 failed, 2 bad command line.\n";

void PrintUsage()
{
    std::fputs("usage: relayctl <command> [arguments]\n\n", stdout);
    for (const Entry &entry : kCommands) {
        if (*entry.Arguments == '\0') {
            std::printf("  %s\n", entry.Name);
        } else {
            std::printf("  %-5s %s\n", entry.Name, entry.Arguments);
        }
        for (const char *line = entry.Description; *line != '\0';) {
            const char *end = std::strchr(line, '\n');
            std::printf("        %.*s\n", static_cast<int>(end - line), line);
            line = end + 1;
        }
    }
    std::printf("\n%s", kNotes);
}

const Entry *CommandNamed(const char *name)
{
    for (const Entry &entry : kCommands) {
        if (std::strcmp(entry.Name, name) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

// One line on what was wrong with the command line, and where to look.
void ReportBadCommandLine(int argc, char **argv)
{
    const Entry *entry = argc >= 2 ? CommandNamed(argv[1]) : nullptr;
    if (entry != nullptr) {
        std::fprintf(stderr, "relayctl: usage: relayctl %s%s%s\n", entry->Name, *entry->Arguments ? " " : "",
                     entry->Arguments);
    } else if (argc >= 2) {
        std::fprintf(stderr, "relayctl: no command \"%s\"; relayctl --help lists them\n", argv[1]);
    } else {
        std::fputs("relayctl: no command given; relayctl --help lists them\n", stderr);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintUsage();
        return kExitSuccess;
    }
    std::optional<CommandLine> line = SplitCommandLine(argc, argv);
    int status = kExitUsage;
    const Entry *entry = line ? CommandNamed(line->Command.c_str()) : nullptr;
    if (entry != nullptr && line->Positional.size() >= entry->MinimumPositional) {
        WatchStopSignals();
        status = entry->Run(*line);
    }
    if (status == kExitUsage) {
        ReportBadCommandLine(argc, argv);
    }
    return status;
}
