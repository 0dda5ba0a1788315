// The commands the Windows build of relayctl does not carry.
#include <cstdio>

#include "tools/relayctl/commands.h"

int CaptureCommand(const CommandLine &)
{
    std::fprintf(stderr, "relayctl: capture writes pcap files with libpcap, which the Windows build lacks; "
                         "use read, or capture on Linux\n");
    return kExitFailure;
}

int BridgeCommand(const CommandLine &)
{
    std::fprintf(stderr, "relayctl: bridge makes a Linux TAP interface and runs only on Linux\n");
    return kExitFailure;
}
