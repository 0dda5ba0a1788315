// relayctl: a command-line client of rezezura on Windows. Each command
// opens the control device, attaches the handle to the adapter named, does
// its one job and reports the outcome in words.

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "control/relay_ioctl.h"
#include "failure_messages.h"
#include "relay_client.h"
#include "text.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr DWORD kLargestFrame = 1518; // Ethernet with an 802.1Q tag, without the checksum
constexpr DWORD kDefaultOidRoom = 256;

const wchar_t kUsage[] =
    L"usage: relayctl <command> <adapter> [arguments]\n"
    L"\n"
    L"  read  <adapter> [--count N] [--length BYTES] [--timeout SECONDS]\n"
    L"        print received EAPOL frames (default: 1 frame, 1518 bytes of room,\n"
    L"        no time limit; --count 0 reads until stopped)\n"
    L"  write <adapter> <frame>\n"
    L"        send one whole Ethernet frame given in hex, header included\n"
    L"  query <adapter> <oid> [--length BYTES]\n"
    L"        print the adapter's value of an OID (default room: 256 bytes)\n"
    L"  set   <adapter> <oid> [value]\n"
    L"        set an OID to a value given in hex (none: an empty value)\n"
    L"  wait  <adapter> connect|disconnect|media-specific [--length BYTES] [--timeout SECONDS]\n"
    L"        wait for one indication and print its status buffer\n"
    L"\n"
    L"<adapter> is the adapter's device name, as in \\Device\\{GUID}. Numbers are\n"
    L"decimal or 0x-prefixed hex; hex bytes may be separated by ':', '-' or ' '.\n";

struct CommandLine {
    std::wstring Command;
    std::vector<std::wstring> Positional; // after the command, the adapter first
    std::map<std::wstring, std::wstring> Options;
};

std::optional<CommandLine> SplitCommandLine(int argc, wchar_t **argv)
{
    if (argc < 3) {
        return std::nullopt;
    }
    CommandLine line;
    line.Command = argv[1];
    for (int index = 2; index < argc; ++index) {
        std::wstring argument = argv[index];
        if (argument.rfind(L"--", 0) == 0) {
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

int Failed(const std::wstring &what, RelayOperation operation, const RelayOutcome &outcome)
{
    fwprintf(stderr, L"relayctl: %ls failed: %ls\n", what.c_str(),
             ExplainFailure(operation, outcome.Win32Error).c_str());
    return kExitFailure;
}

// A number option within [minimum, maximum], or the default when absent.
std::optional<DWORD> NumberOption(const CommandLine &line, const wchar_t *name, DWORD fallback, DWORD minimum,
                                  DWORD maximum)
{
    auto found = line.Options.find(name);
    if (found == line.Options.end()) {
        return fallback;
    }
    std::optional<uint32_t> value = ParseNumber(found->second);
    if (!value || *value < minimum || *value > maximum) {
        return std::nullopt;
    }
    return *value;
}

bool OnlyOptions(const CommandLine &line, std::initializer_list<const wchar_t *> allowed)
{
    for (const auto &[name, value] : line.Options) {
        bool known = false;
        for (const wchar_t *candidate : allowed) {
            known = known || name == candidate;
        }
        if (!known) {
            return false;
        }
    }
    return true;
}

// Seconds on the command line (0 or none: no limit), milliseconds here.
std::optional<DWORD> TimeoutOption(const CommandLine &line)
{
    std::optional<DWORD> seconds = NumberOption(line, L"--timeout", 0, 0, 86400);
    if (!seconds) {
        return std::nullopt;
    }
    return *seconds == 0 ? kNoTimeLimit : *seconds * 1000;
}

std::optional<uint32_t> IndicationNamed(const std::wstring &name)
{
    if (name == L"connect") {
        return RELAY_WAIT_MEDIA_CONNECT;
    }
    if (name == L"disconnect") {
        return RELAY_WAIT_MEDIA_DISCONNECT;
    }
    if (name == L"media-specific") {
        return RELAY_WAIT_MEDIA_SPECIFIC;
    }
    return std::nullopt;
}

enum class Command { Read, Write, Query, Set, Wait };

// One command, its arguments checked before the device is opened.
struct Request {
    Command Kind = Command::Read;
    std::wstring Adapter;
    DWORD Count = 1;                 // frames to read; 0 reads until stopped
    DWORD Room = 0;                  // bytes offered for a frame, a value or a status buffer
    DWORD TimeoutMs = kNoTimeLimit;
    uint32_t Code = 0;               // the OID, or the status waited for
    std::wstring IndicationName;
    std::vector<uint8_t> Bytes;      // the frame written or the value set
};

std::optional<Request> ParseRead(const CommandLine &line, Request request)
{
    std::optional<DWORD> count = NumberOption(line, L"--count", 1, 0, 0xFFFFFFFF);
    std::optional<DWORD> room = NumberOption(line, L"--length", kLargestFrame, 14, 65535);
    std::optional<DWORD> timeout = TimeoutOption(line);
    if (line.Positional.size() != 1 || !OnlyOptions(line, {L"--count", L"--length", L"--timeout"}) || !count ||
        !room || !timeout) {
        return std::nullopt;
    }
    request.Count = *count;
    request.Room = *room;
    request.TimeoutMs = *timeout;
    return request;
}

std::optional<Request> ParseWrite(const CommandLine &line, Request request)
{
    if (line.Positional.size() != 2 || !line.Options.empty()) {
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> frame = ParseHexBytes(line.Positional[1]);
    if (!frame) {
        return std::nullopt;
    }
    request.Bytes = *frame;
    return request;
}

std::optional<Request> ParseQuery(const CommandLine &line, Request request)
{
    std::optional<DWORD> room = NumberOption(line, L"--length", kDefaultOidRoom, 0, 65535);
    if (line.Positional.size() != 2 || !room || !OnlyOptions(line, {L"--length"})) {
        return std::nullopt;
    }
    std::optional<uint32_t> oid = ParseNumber(line.Positional[1]);
    if (!oid) {
        return std::nullopt;
    }
    request.Code = *oid;
    request.Room = *room;
    return request;
}

std::optional<Request> ParseSet(const CommandLine &line, Request request)
{
    if (line.Positional.size() < 2 || line.Positional.size() > 3 || !line.Options.empty()) {
        return std::nullopt;
    }
    std::optional<uint32_t> oid = ParseNumber(line.Positional[1]);
    std::optional<std::vector<uint8_t>> value =
        line.Positional.size() == 3 ? ParseHexBytes(line.Positional[2]) : std::vector<uint8_t>();
    if (!oid || !value) {
        return std::nullopt;
    }
    request.Code = *oid;
    request.Bytes = *value;
    return request;
}

std::optional<Request> ParseWait(const CommandLine &line, Request request)
{
    std::optional<DWORD> room = NumberOption(line, L"--length", kDefaultOidRoom, 0, 65535);
    std::optional<DWORD> timeout = TimeoutOption(line);
    if (line.Positional.size() != 2 || !room || !timeout || !OnlyOptions(line, {L"--length", L"--timeout"})) {
        return std::nullopt;
    }
    std::optional<uint32_t> status = IndicationNamed(line.Positional[1]);
    if (!status) {
        return std::nullopt;
    }
    request.Code = *status;
    request.IndicationName = line.Positional[1];
    request.Room = *room;
    request.TimeoutMs = *timeout;
    return request;
}

std::optional<Request> ParseRequest(const CommandLine &line)
{
    Request request;
    request.Adapter = line.Positional.empty() ? L"" : line.Positional[0];
    if (request.Adapter.empty()) {
        return std::nullopt;
    }
    if (line.Command == L"read") {
        request.Kind = Command::Read;
        return ParseRead(line, request);
    }
    if (line.Command == L"write") {
        request.Kind = Command::Write;
        return ParseWrite(line, request);
    }
    if (line.Command == L"query") {
        request.Kind = Command::Query;
        return ParseQuery(line, request);
    }
    if (line.Command == L"set") {
        request.Kind = Command::Set;
        return ParseSet(line, request);
    }
    if (line.Command == L"wait") {
        request.Kind = Command::Wait;
        return ParseWait(line, request);
    }
    return std::nullopt;
}

void PrintBytes(const std::wstring &label, const std::vector<uint8_t> &buffer, const RelayOutcome &outcome)
{
    wprintf(L"%ls: %lu bytes%ls\n", label.c_str(), outcome.Bytes,
            outcome.Win32Error == ERROR_MORE_DATA ? L", cut to the room given" : L"");
    if (outcome.Bytes != 0) {
        wprintf(L"    %ls\n", FormatHexBytes(buffer.data(), outcome.Bytes).c_str());
    }
    fflush(stdout);
}

std::wstring OidText(uint32_t oid)
{
    wchar_t text[16];
    swprintf(text, 16, L"OID 0x%08x", oid);
    return text;
}

int ReadFrames(RelayDevice &device, const Request &request)
{
    std::vector<uint8_t> frame(request.Room);
    for (DWORD index = 1; request.Count == 0 || index <= request.Count; ++index) {
        RelayOutcome outcome = RelayRead(device, frame.data(), request.Room, request.TimeoutMs);
        if (outcome.TimedOut) {
            fwprintf(stderr, L"relayctl: no frame arrived in time; the read was cancelled\n");
            return kExitFailure;
        }
        if (!outcome.Succeeded()) {
            return Failed(L"read", RelayOperation::Read, outcome);
        }
        PrintBytes(L"frame " + std::to_wstring(index), frame, outcome);
    }
    return kExitSuccess;
}

int WriteFrame(RelayDevice &device, const Request &request)
{
    RelayOutcome outcome = RelayWrite(device, request.Bytes.data(), static_cast<DWORD>(request.Bytes.size()));
    if (!outcome.Succeeded()) {
        return Failed(L"write", RelayOperation::Write, outcome);
    }
    wprintf(L"sent %lu of %u bytes\n", outcome.Bytes, static_cast<unsigned>(request.Bytes.size()));
    return kExitSuccess;
}

int QueryOid(RelayDevice &device, const Request &request)
{
    std::vector<uint8_t> value(request.Room);
    RelayOutcome outcome = RelayQueryOid(device, request.Code, value.data(), request.Room);
    if (!outcome.Succeeded()) {
        return Failed(L"query of " + OidText(request.Code), RelayOperation::QueryOid, outcome);
    }
    PrintBytes(OidText(request.Code), value, outcome);
    return kExitSuccess;
}

int SetOid(RelayDevice &device, const Request &request)
{
    RelayOutcome outcome = RelaySetOid(device, request.Code, request.Bytes.data(),
                                       static_cast<DWORD>(request.Bytes.size()));
    if (!outcome.Succeeded()) {
        return Failed(L"set of " + OidText(request.Code), RelayOperation::SetOid, outcome);
    }
    wprintf(L"%ls set; the adapter took %lu of %u bytes\n", OidText(request.Code).c_str(), outcome.Bytes,
            static_cast<unsigned>(request.Bytes.size()));
    return kExitSuccess;
}

int WaitStatus(RelayDevice &device, const Request &request)
{
    std::vector<uint8_t> buffer(request.Room);
    RelayOutcome outcome = RelayWaitStatus(device, request.Code, buffer.data(), request.Room, request.TimeoutMs);
    if (outcome.TimedOut) {
        fwprintf(stderr, L"relayctl: no %ls indication came in time; the wait was cancelled\n",
                 request.IndicationName.c_str());
        return kExitFailure;
    }
    if (!outcome.Succeeded()) {
        return Failed(L"wait for " + request.IndicationName, RelayOperation::WaitStatus, outcome);
    }
    PrintBytes(request.IndicationName + L" indicated, status buffer", buffer, outcome);
    return kExitSuccess;
}

int RunRequest(RelayDevice &device, const Request &request)
{
    switch (request.Kind) {
    case Command::Read:
        return ReadFrames(device, request);
    case Command::Write:
        return WriteFrame(device, request);
    case Command::Query:
        return QueryOid(device, request);
    case Command::Set:
        return SetOid(device, request);
    case Command::Wait:
        return WaitStatus(device, request);
    }
    return kExitUsage;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    std::optional<CommandLine> line = SplitCommandLine(argc, argv);
    std::optional<Request> request = line ? ParseRequest(*line) : std::nullopt;
    if (!request) {
        fwprintf(stderr, L"%ls", kUsage);
        return kExitUsage;
    }

    RelayDevice device;
    DWORD openError = RelayOpen(device);
    if (openError != ERROR_SUCCESS) {
        fwprintf(stderr, L"relayctl: opening %hs failed: %ls\n", RELAY_DEVICE_PATH,
                 ExplainFailure(RelayOperation::OpenDevice, openError).c_str());
        return kExitFailure;
    }
    RelayOutcome attached = RelayAttach(device, request->Adapter);
    int result = attached.Succeeded() ? RunRequest(device, *request)
                                      : Failed(L"attaching to " + request->Adapter, RelayOperation::Attach, attached);
    RelayClose(device);
    return result;
}
