// EAPOL frames to pending reads: from the indication to every pending read
// completed with the frame, with 1 and 8 reads pending, on the two roads a
// miniport indicates by: header plus lookahead (the whole 60-byte frame in
// the lookahead) and a whole packet. The reads are queued through the
// driver's read dispatch before the clock starts.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/counted_run.h"
#include "bench/indicated_packet.h"
#include "bench/stage.h"
#include "bench/suites.h"
#include "bench/table.h"
#include "relay/receive.h"
#include "sim/irql.h"

namespace bench {
namespace {

constexpr size_t kFrameLength = 60;
constexpr ULONG kReadLength = 1514;

enum class Road { Header, Packet };

std::string Name(Road road, int pending)
{
    return std::string("eapol_reads/") + (road == Road::Header ? "header" : "packet") + "/" +
           std::to_string(pending);
}

void Deliver(benchmark::State &state, Road road, int pending)
{
    AdapterBinding *binding = TheStage().binding;
    Bytes frame = EthernetFrame(kFrameLength, 0x888E);
    IndicatedPacket packet(frame);
    UINT rest = static_cast<UINT>(frame.size() - 14);
    CountedRun run(state);
    std::vector<sim::Request> reads;
    for (auto _ : state) {
        reads.clear();
        for (int i = 0; i < pending; ++i) {
            reads.push_back(DispatchRead(kReadLength));
        }
        run.Start();
        {
            sim::ScopedIrql dispatch(DISPATCH_LEVEL);
            if (road == Road::Header) {
                RelayReceive(binding, frame.data(), frame.data(), 14, frame.data() + 14, rest, rest);
            } else {
                RelayReceivePacket(binding, packet.Packet());
            }
        }
        run.Stop();
        for (const sim::Request &read : reads) {
            if (!read.Completed() || read.FinalStatus().Information != kFrameLength) {
                state.SkipWithError("a pending read did not complete with the frame");
                return;
            }
        }
    }
    reads.clear();
    run.Report(1);
}

}  // namespace

void RegisterEapolReads(bool brief)
{
    TheStage();
    for (Road road : {Road::Header, Road::Packet}) {
        for (int pending : {1, 8}) {
            benchmark::internal::Benchmark *registered = benchmark::RegisterBenchmark(
                Name(road, pending).c_str(),
                [road, pending](benchmark::State &state) { Deliver(state, road, pending); });
            registered->UseManualTime();
            if (brief) {
                registered->Iterations(1);
            }
        }
    }

    AddHeading("EAPOL frames of 60 bytes to pending reads, per frame (on the sim: its I/O manager and NDIS included)");
    for (Road road : {Road::Header, Road::Packet}) {
        const char *roadName = road == Road::Header ? "header+lookahead" : "whole packet";
        for (int pending : {1, 8}) {
            std::string figure = std::string(roadName) + ", " + std::to_string(pending) + " pending";
            Row time;
            time.figure = figure + ": indication to reads done";
            time.unit = "ns/frame";
            time.subject = {Name(road, pending)};
            if (pending != 1) {
                time.comparisonLabel = "the same with 1 pending";
                time.comparison = {Name(road, 1)};
            }
            AddRow(time);

            // What the receive path is built to take per frame: on the header
            // road one data block, its packet and buffer descriptors, the
            // frame copied in and once into each read; a whole packet is
            // served from the miniport's own buffers.
            bool header = road == Road::Header;
            Row allocations;
            allocations.figure = figure + ": pool allocations";
            allocations.unit = "per frame";
            allocations.subject = {Name(road, pending), "pool_allocations"};
            allocations.comparisonLabel = header ? "budget: one data block" : "budget: none";
            allocations.comparison.fixed = header ? 1 : 0;
            AddRow(allocations);

            Row descriptors;
            descriptors.figure = figure + ": packet and buffer descriptors";
            descriptors.unit = "per frame";
            descriptors.subject = {Name(road, pending), "descriptors"};
            descriptors.comparisonLabel = header ? "budget: one packet, one buffer" : "budget: none";
            descriptors.comparison.fixed = header ? 2 : 0;
            AddRow(descriptors);

            Row copied;
            copied.figure = figure + ": bytes copied";
            copied.unit = "bytes/frame";
            copied.subject = {Name(road, pending), "receive_bytes_copied"};
            copied.comparisonLabel = header ? "budget: into the block, each read" : "budget: into each read";
            copied.comparison.fixed = double(kFrameLength) * (pending + (header ? 1 : 0));
            AddRow(copied);
        }
    }
}

}  // namespace bench
