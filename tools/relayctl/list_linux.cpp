// list on Linux: every interface of the machine, each tried by attach; the
// ones rezezura-host bound attach.
#include <net/if.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/relayctl/commands.h"
#include "tools/relayctl/statuses.h"

int ListCommand(const CommandLine &line)
{
    if (!line.Positional.empty() || !line.Options.empty()) {
        return kExitUsage;
    }
    std::vector<std::string> names;
    if (struct if_nameindex *interfaces = if_nameindex()) {
        for (struct if_nameindex *entry = interfaces; entry->if_index != 0; ++entry) {
            names.push_back(entry->if_name);
        }
        if_freenameindex(interfaces);
    }
    size_t attachable = 0;
    for (const std::string &name : names) {
        rezezura_client *client = nullptr;
        rezezura_result opened = rezezura_open(&client);
        if (!rezezura_succeeded(opened)) {
            std::fprintf(stderr, "relayctl: opening rezezura's control device failed: %s\n",
                         ExplainFailure(RelayOperation::OpenDevice, opened).c_str());
            return kExitFailure;
        }
        std::string device = "\\Device\\" + name;
        rezezura_result attached = rezezura_attach(client, device.c_str());
        rezezura_close(client);
        if (rezezura_succeeded(attached)) {
            std::printf("%s\t%s\n", device.c_str(), name.c_str());
            ++attachable;
        } else if (attached.status != kStatusNoSuchDevice) {
            std::printf("%s\t%s\t(%s)\n", device.c_str(), name.c_str(),
                        ExplainFailure(RelayOperation::Attach, attached).c_str());
        }
    }
    if (attachable == 0) {
        std::fprintf(stderr, "relayctl: rezezura-host has bound no interface a client can attach to\n");
    }
    std::fflush(stdout);
    return kExitSuccess;
}
