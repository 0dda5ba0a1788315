// list on Windows: every adapter GetAdaptersAddresses reports, as
// \Device\{GUID} with its friendly name, each tried by attach.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/relayctl/commands.h"
#include "tools/relayctl/statuses.h"

namespace {

std::string Utf8(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    }
    return result;
}

}  // namespace

int ListCommand(const CommandLine &line)
{
    if (!line.Positional.empty() || !line.Options.empty()) {
        return kExitUsage;
    }
    ULONG size = 16384;
    std::vector<uint8_t> buffer;
    ULONG error = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && error == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        error = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                                    GAA_FLAG_SKIP_DNS_SERVER,
                                     nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size);
    }
    if (error != NO_ERROR) {
        std::fprintf(stderr, "relayctl: the adapters could not be listed (Windows error %lu)\n", error);
        return kExitFailure;
    }
    for (auto *adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        std::string device = std::string("\\Device\\") + adapter->AdapterName;
        rezezura_client *client = nullptr;
        rezezura_result opened = rezezura_open(&client);
        if (!rezezura_succeeded(opened)) {
            std::fprintf(stderr, "relayctl: opening rezezura's control device failed: %s\n",
                         ExplainFailure(RelayOperation::OpenDevice, opened).c_str());
            return kExitFailure;
        }
        rezezura_result attached = rezezura_attach(client, device.c_str());
        rezezura_close(client);
        if (rezezura_succeeded(attached)) {
            std::printf("%s\t%s\n", device.c_str(), Utf8(adapter->FriendlyName).c_str());
        }
    }
    return kExitSuccess;
}
