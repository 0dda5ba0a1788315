// The commands that do one request, or a run of reads, on an attached handle.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "tools/relayctl/commands.h"
#include "tools/relayctl/statuses.h"
#include "tools/relayctl/stop_signal.h"
#include "tools/relayctl/text.h"

namespace {

constexpr uint32_t kDefaultOidRoom = 256;

std::string OidText(uint32_t oid)
{
    char text[24];
    std::snprintf(text, sizeof text, "OID 0x%08x", oid);
    return text;
}

void PrintBytes(const std::string &label, const std::vector<uint8_t> &buffer, const rezezura_result &result)
{
    // The count is the service's word: never show more than the buffer holds.
    size_t shown = std::min<size_t>(result.information, buffer.size());
    std::printf("%s: %u bytes%s\n", label.c_str(), result.information,
                result.status == REZEZURA_STATUS_BUFFER_OVERFLOW ? ", cut to the room given" : "");
    if (shown != 0) {
        std::printf("    %s\n", FormatHexBytes(buffer.data(), shown).c_str());
    }
    std::fflush(stdout);
}

std::optional<uint32_t> IndicationNamed(const std::string &name)
{
    if (name == "connect") {
        return RELAY_WAIT_MEDIA_CONNECT;
    }
    if (name == "disconnect") {
        return RELAY_WAIT_MEDIA_DISCONNECT;
    }
    if (name == "media-specific") {
        return RELAY_WAIT_MEDIA_SPECIFIC;
    }
    return std::nullopt;
}

// Runs `body` on a client attached to the line's adapter, and closes it.
template <typename Body>
int WithClient(const CommandLine &line, Body body)
{
    rezezura_client *client = OpenAttached(line.Positional[0]);
    if (client == nullptr) {
        return kExitFailure;
    }
    CancelOnStop(client);
    int status = body(client);
    CancelOnStop(nullptr);
    rezezura_close(client);
    return status;
}

}  // namespace

rezezura_client *OpenAttached(const std::string &adapter)
{
    rezezura_client *client = nullptr;
    rezezura_result opened = rezezura_open(&client);
    if (!rezezura_succeeded(opened)) {
        std::fprintf(stderr, "relayctl: opening rezezura's control device failed: %s\n",
                     ExplainFailure(RelayOperation::OpenDevice, opened).c_str());
        return nullptr;
    }
    rezezura_result attached = rezezura_attach(client, adapter.c_str());
    if (!rezezura_succeeded(attached)) {
        Failed("attaching to " + adapter, RelayOperation::Attach, attached);
        rezezura_close(client);
        return nullptr;
    }
    return client;
}

int Failed(const std::string &what, RelayOperation operation, const rezezura_result &result)
{
    std::fprintf(stderr, "relayctl: %s failed: %s\n", what.c_str(), ExplainFailure(operation, result).c_str());
    return kExitFailure;
}

int ReadCommand(const CommandLine &line)
{
    std::optional<uint32_t> count = line.Number("--count", 1, 0, 0xFFFFFFFF);
    std::optional<uint32_t> room = line.Number("--length", kLargestFrame, 14, 65535);
    std::optional<uint32_t> timeout = TimeoutOption(line);
    if (line.Positional.size() != 1 || !line.OnlyOptions({"--count", "--length", "--timeout"}) || !count || !room ||
        !timeout) {
        return kExitUsage;
    }
    return WithClient(line, [&](rezezura_client *client) {
        std::vector<uint8_t> frame(*room);
        for (uint32_t index = 1; *count == 0 || index <= *count; ++index) {
            rezezura_result result = ReadUnlessStopped(client, frame.data(), *room, *timeout);
            if (result.status == kStatusCancelled && StopRequested()) {
                return kExitSuccess;
            }
            if (result.timed_out) {
                std::fprintf(stderr, "relayctl: no frame arrived in time; the read was cancelled\n");
                return kExitFailure;
            }
            if (!rezezura_succeeded(result)) {
                return Failed("read", RelayOperation::Read, result);
            }
            PrintBytes("frame " + std::to_string(index), frame, result);
        }
        return kExitSuccess;
    });
}

int WriteCommand(const CommandLine &line)
{
    std::optional<std::vector<uint8_t>> frame =
        line.Positional.size() == 2 ? ParseHexBytes(line.Positional[1]) : std::nullopt;
    if (!frame || !line.Options.empty()) {
        return kExitUsage;
    }
    return WithClient(line, [&](rezezura_client *client) {
        rezezura_result result = rezezura_write(client, frame->data(), static_cast<uint32_t>(frame->size()));
        if (!rezezura_succeeded(result)) {
            return Failed("write", RelayOperation::Write, result);
        }
        std::printf("sent %u of %u bytes\n", result.information, static_cast<unsigned>(frame->size()));
        return kExitSuccess;
    });
}

int QueryCommand(const CommandLine &line)
{
    std::optional<uint32_t> room = line.Number("--length", kDefaultOidRoom, 0, 65535);
    std::optional<uint32_t> oid = line.Positional.size() == 2 ? ParseNumber(line.Positional[1]) : std::nullopt;
    if (!oid || !room || !line.OnlyOptions({"--length"})) {
        return kExitUsage;
    }
    return WithClient(line, [&](rezezura_client *client) {
        std::vector<uint8_t> value(*room);
        rezezura_result result = rezezura_query_oid(client, *oid, value.data(), *room);
        if (!rezezura_succeeded(result)) {
            return Failed("query of " + OidText(*oid), RelayOperation::QueryOid, result);
        }
        PrintBytes(OidText(*oid), value, result);
        return kExitSuccess;
    });
}

int SetCommand(const CommandLine &line)
{
    if (line.Positional.size() < 2 || line.Positional.size() > 3 || !line.Options.empty()) {
        return kExitUsage;
    }
    std::optional<uint32_t> oid = ParseNumber(line.Positional[1]);
    std::optional<std::vector<uint8_t>> value =
        line.Positional.size() == 3 ? ParseHexBytes(line.Positional[2]) : std::vector<uint8_t>();
    if (!oid || !value) {
        return kExitUsage;
    }
    return WithClient(line, [&](rezezura_client *client) {
        rezezura_result result = rezezura_set_oid(client, *oid, value->data(), static_cast<uint32_t>(value->size()));
        if (!rezezura_succeeded(result)) {
            return Failed("set of " + OidText(*oid), RelayOperation::SetOid, result);
        }
        std::printf("%s set; the adapter took %u of %u bytes\n", OidText(*oid).c_str(), result.information,
                    static_cast<unsigned>(value->size()));
        return kExitSuccess;
    });
}

int WaitCommand(const CommandLine &line)
{
    std::optional<uint32_t> room = line.Number("--length", kDefaultOidRoom, 0, 65535);
    std::optional<uint32_t> timeout = TimeoutOption(line);
    std::optional<uint32_t> status = line.Positional.size() == 2 ? IndicationNamed(line.Positional[1]) : std::nullopt;
    if (!status || !room || !timeout || !line.OnlyOptions({"--length", "--timeout"})) {
        return kExitUsage;
    }
    const std::string &name = line.Positional[1];
    return WithClient(line, [&](rezezura_client *client) {
        std::vector<uint8_t> buffer(*room);
        rezezura_result result = rezezura_wait_status(client, *status, buffer.data(), *room, *timeout);
        if (result.timed_out) {
            std::fprintf(stderr, "relayctl: no %s indication came in time; the wait was cancelled\n", name.c_str());
            return kExitFailure;
        }
        if (!rezezura_succeeded(result)) {
            return Failed("wait for " + name, RelayOperation::WaitStatus, result);
        }
        PrintBytes(name + " indicated, status buffer", buffer, result);
        return kExitSuccess;
    });
}
