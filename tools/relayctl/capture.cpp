// capture: the EAPOL frames read from the adapter, in a pcap file (libpcap's
// own writer), each flushed as it arrives so that the file is whole however
// the capture ends.
#include <pcap/pcap.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "tools/relayctl/commands.h"
#include "tools/relayctl/statuses.h"
#include "tools/relayctl/stop_signal.h"

namespace {

using Clock = std::chrono::steady_clock;

// What is left of the time limit for the next read.
uint32_t Remaining(uint32_t limitMs, Clock::time_point start)
{
    if (limitMs == kNoLimit) {
        return kNoLimit;
    }
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return spent >= limitMs ? 0 : static_cast<uint32_t>(limitMs - spent);
}

}  // namespace

int CaptureCommand(const CommandLine &line)
{
    std::optional<uint32_t> count = line.Number("--count", 0, 0, 0xFFFFFFFF);
    std::optional<uint32_t> timeout = TimeoutOption(line);
    if (line.Positional.size() != 2 || !count || !timeout || !line.OnlyOptions({"--count", "--timeout"})) {
        return kExitUsage;
    }
    const std::string &adapter = line.Positional[0];
    const std::string &path = line.Positional[1];
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *file = dead != nullptr ? pcap_dump_open(dead, path.c_str()) : nullptr;
    if (file == nullptr) {
        std::fprintf(stderr, "relayctl: cannot write %s: %s\n", path.c_str(),
                     dead != nullptr ? pcap_geterr(dead) : "libpcap could not start");
        if (dead != nullptr) {
            pcap_close(dead);
        }
        return kExitFailure;
    }
    rezezura_client *client = OpenAttached(adapter);
    if (client == nullptr) {
        pcap_dump_close(file);
        pcap_close(dead);
        return kExitFailure;
    }
    CancelOnStop(client);
    int status = kExitSuccess;
    uint32_t captured = 0;
    std::vector<uint8_t> frame(kLargestFrame);
    Clock::time_point start = Clock::now();
    while (*count == 0 || captured < *count) {
        uint32_t left = Remaining(*timeout, start);
        if (left == 0) {
            break;
        }
        rezezura_result result = ReadUnlessStopped(client, frame.data(), kLargestFrame, left);
        if (result.timed_out || (result.status == kStatusCancelled && StopRequested())) {
            break;
        }
        if (!rezezura_succeeded(result)) {
            status = Failed("read", RelayOperation::Read, result);
            break;
        }
        pcap_pkthdr header{};
        gettimeofday(&header.ts, nullptr);
        header.caplen = std::min<uint32_t>(result.information, kLargestFrame);
        header.len = header.caplen;
        pcap_dump(reinterpret_cast<u_char *>(file), &header, frame.data());
        pcap_dump_flush(file);
        ++captured;
    }
    CancelOnStop(nullptr);
    rezezura_close(client);
    pcap_dump_close(file);
    pcap_close(dead);
    if (status == kExitSuccess && *count != 0 && captured < *count && !StopRequested()) {
        std::fprintf(stderr, "relayctl: only %u of %u frames came in time; %s holds them\n", captured, *count,
                     path.c_str());
        return kExitFailure;
    }
    if (status == kExitSuccess) {
        std::printf("captured %u frame%s to %s\n", captured, captured == 1 ? "" : "s", path.c_str());
    }
    return status;
}
