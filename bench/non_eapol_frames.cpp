// Frames that are not EAPOL, as most frames on a busy wire are: the relay's
// receive handler on a header-plus-lookahead indication and its
// receive-packet handler on a packet, beside libpcap running the compiled
// filter "ether proto 0x888e" on the same bytes and a bare three-comparison
// test, the least any refusal can cost. Each subject is a call, as the
// network stack's call of a handler is.
#include <pcap/pcap.h>
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/indicated_packet.h"
#include "bench/stage.h"
#include "bench/suites.h"
#include "bench/table.h"
#include "relay/receive.h"
#include "sim/irql.h"

namespace bench {
namespace {

struct Frame {
    const char *name;
    const char *description;
    Bytes bytes;
    std::unique_ptr<IndicatedPacket> packet;
};

Bytes VlanTaggedEapol()
{
    Bytes frame = EthernetFrame(60, 0x8100);
    frame[14] = 0x00;  // priority 0, VLAN 5
    frame[15] = 0x05;
    frame[16] = 0x88;
    frame[17] = 0x8E;
    return frame;
}

std::vector<Frame> &Frames()
{
    static std::vector<Frame> frames = [] {
        std::vector<Frame> made;
        made.push_back({"ipv4", "60-byte IPv4", EthernetFrame(60, 0x0800), nullptr});
        made.push_back({"arp", "60-byte ARP", EthernetFrame(60, 0x0806), nullptr});
        made.push_back({"vlan", "60-byte VLAN-tagged EAPOL", VlanTaggedEapol(), nullptr});
        for (Frame &frame : made) {
            frame.packet = std::make_unique<IndicatedPacket>(frame.bytes);
        }
        return made;
    }();
    return frames;
}

// The filter a capture of EAPOL frames would run, compiled once.
struct CompiledFilter {
    bpf_program program{};
    CompiledFilter()
    {
        pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
        if (pcap_compile(dead, &program, "ether proto 0x888e", 1, PCAP_NETMASK_UNKNOWN) != 0) {
            std::fprintf(stderr, "pcap_compile: %s\n", pcap_geterr(dead));
            std::exit(1);
        }
        pcap_close(dead);
    }
};

const bpf_program *Filter()
{
    static CompiledFilter filter;
    return &filter.program;
}

// Kept out of line so that it is called as the handlers are.
[[gnu::noinline]] int BareTest(const uint8_t *frame, unsigned length)
{
    return length >= 14 && frame[12] == 0x88 && frame[13] == 0x8E;
}

// The handlers as the stack holds them: pointers in the open block.
RECEIVE_HANDLER g_receive = RelayReceive;
RECEIVE_PACKET_HANDLER g_receivePacket = RelayReceivePacket;
NDIS_HANDLE g_binding = nullptr;

// Each subject is one call on one frame; the calls are inlined into the
// loops below, so that a loop costs its subject and nothing else.
struct ReceiveHandler {
    static constexpr const char *kName = "receive_handler";
    static constexpr const char *kDescription = "receive handler";
    static long Call(const Frame &frame)
    {
        auto *bytes = const_cast<uint8_t *>(frame.bytes.data());
        UINT rest = static_cast<UINT>(frame.bytes.size() - 14);
        return g_receive(g_binding, bytes, bytes, 14, bytes + 14, rest, rest);
    }
};

struct ReceivePacketHandler {
    static constexpr const char *kName = "receive_packet_handler";
    static constexpr const char *kDescription = "receive-packet handler";
    static long Call(const Frame &frame) { return g_receivePacket(g_binding, frame.packet->Packet()); }
};

struct BpfFilter {
    static constexpr const char *kName = "bpf_filter";
    static long Call(const Frame &frame)
    {
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.bytes.size());
        return pcap_offline_filter(Filter(), &header, frame.bytes.data());
    }
};

struct Bare {
    static constexpr const char *kName = "bare_test";
    static long Call(const Frame &frame)
    {
        return BareTest(frame.bytes.data(), static_cast<unsigned>(frame.bytes.size()));
    }
};

template <typename Subject>
std::string BenchmarkName(const Frame &frame)
{
    return std::string("non_eapol/") + Subject::kName + "/" + frame.name;
}

template <typename Subject>
void Repeat(uint64_t times, const Frame &frame)
{
    const Frame *input = &frame;
    for (uint64_t i = 0; i < times; ++i) {
        benchmark::DoNotOptimize(input);
        benchmark::DoNotOptimize(Subject::Call(*input));
    }
}

// A loop of calls per iteration keeps the clock's own cost out of a figure
// of a few nanoseconds.
constexpr uint64_t kCallsPerIteration = 1000;

template <typename Subject>
void Register(const Frame &frame, bool brief)
{
    benchmark::internal::Benchmark *registered =
        benchmark::RegisterBenchmark(BenchmarkName<Subject>(frame).c_str(), [&frame](benchmark::State &state) {
            sim::ScopedIrql dispatch(DISPATCH_LEVEL);
            for (auto _ : state) {
                Repeat<Subject>(kCallsPerIteration, frame);
            }
        });
    if (brief) {
        registered->Iterations(1);
    }
}

template <typename Subject>
void Count(const Frame &frame, uint64_t frames)
{
    Subject::Call(frame);  // the first call resolves symbols and touches the pages
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    Repeat<Subject>(frames, frame);
    CALLGRIND_TOGGLE_COLLECT;
    std::string name = BenchmarkName<Subject>(frame);
    CALLGRIND_DUMP_STATS_AT(name.c_str());
}

void Prepare()
{
    g_binding = TheStage().binding;
    Frames();
    Filter();
}

}  // namespace

void RegisterNonEapolFrames(bool brief)
{
    Prepare();
    for (const Frame &frame : Frames()) {
        Register<ReceiveHandler>(frame, brief);
        Register<ReceivePacketHandler>(frame, brief);
        Register<BpfFilter>(frame, brief);
        Register<Bare>(frame, brief);
    }

    AddHeading("Frames that are not EAPOL, per frame; the callgrind counts stay the same on a busy machine");
    for (const char *measure : {"time", "instructions"}) {
        bool time = std::string(measure) == "time";
        double per = time ? kCallsPerIteration : 1;
        const char *unit = time ? "ns/frame" : "instr/frame";
        const char *bpf = "BPF filter \"ether proto 0x888e\"";
        for (const Frame &frame : Frames()) {
            for (auto [name, description] : {std::pair{BenchmarkName<ReceiveHandler>(frame), ReceiveHandler::kDescription},
                                             std::pair{BenchmarkName<ReceivePacketHandler>(frame),
                                                       ReceivePacketHandler::kDescription}}) {
                Row row;
                row.figure = std::string(description) + ", " + frame.description;
                row.unit = unit;
                row.subject = {name, measure, per};
                row.comparisonLabel = bpf;
                row.comparison = {BenchmarkName<BpfFilter>(frame), measure, per};
                row.goal = Goal::RatioAtMost;
                row.goalValue = 0.4;
                AddRow(row);
            }
            Row bare;
            bare.figure = std::string("bare three-comparison test, ") + frame.description;
            bare.unit = unit;
            bare.subject = {BenchmarkName<Bare>(frame), measure, per};
            bare.comparisonLabel = bpf;
            bare.comparison = {BenchmarkName<BpfFilter>(frame), measure, per};
            AddRow(bare);
        }
    }
}

void CountNonEapolInstructions(uint64_t frames)
{
    Prepare();
    sim::ScopedIrql dispatch(DISPATCH_LEVEL);
    for (const Frame &frame : Frames()) {
        Count<ReceiveHandler>(frame, frames);
        Count<ReceivePacketHandler>(frame, frames);
        Count<BpfFilter>(frame, frames);
        Count<Bare>(frame, frames);
    }
}

}  // namespace bench
