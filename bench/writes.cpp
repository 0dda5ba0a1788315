// Writes: each of 12 writes in flight from its dispatch to the send handed
// to the adapter, and from the adapter's send completion to the write
// completed back to the client. The adapter holds every send until the 12
// are in flight, then completes them oldest first. The writes are built by
// the I/O manager before the clock starts.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/counted_run.h"
#include "bench/stage.h"
#include "bench/suites.h"
#include "bench/table.h"
#include "sim/direct_io.h"

namespace bench {
namespace {

constexpr size_t kFrameLength = 60;
// The most the binding's send packet pool lets be in flight.
constexpr int kInFlight = 12;
const char *const kName = "writes/12_in_flight";

void Write(benchmark::State &state)
{
    Stage &stage = TheStage();
    stage.adapter.SetSendCompletion(sim::SendScript{true, NDIS_STATUS_SUCCESS});
    Bytes frame = EthernetFrame(kFrameLength, 0x888E);
    const sim::File &file = stage.handle.FileObject();
    CountedRun run(state);
    std::vector<sim::Request> writes;
    for (auto _ : state) {
        writes.clear();
        for (int i = 0; i < kInFlight; ++i) {
            writes.push_back(sim::BuildWrite(file, frame));
        }
        run.Start();
        for (const sim::Request &write : writes) {
            write.Dispatch();
        }
        for (int i = 0; i < kInFlight; ++i) {
            stage.adapter.CompletePendedSend(0);
        }
        run.Stop();
        stage.adapter.ForgetSentFrames();
        for (const sim::Request &write : writes) {
            if (!write.Completed() || write.FinalStatus().Information != kFrameLength) {
                state.SkipWithError("a write did not complete with its frame's length");
                break;
            }
        }
    }
    writes.clear();
    stage.adapter.SetSendCompletion(sim::SendScript{});
    run.Report(kInFlight);
}

}  // namespace

void RegisterWrites(bool brief)
{
    TheStage();
    benchmark::internal::Benchmark *registered = benchmark::RegisterBenchmark(kName, Write);
    registered->UseManualTime();
    if (brief) {
        registered->Iterations(1);
    }

    AddHeading("Writes of 60 bytes, 12 in flight, per write (on the sim: its I/O manager and NDIS included)");
    Row time;
    time.figure = "dispatch to send, completion to client";
    time.unit = "ns/write";
    time.subject = {kName, "time", kInFlight};
    AddRow(time);

    Row copied;
    copied.figure = "bytes copied";
    copied.unit = "bytes/write";
    copied.subject = {kName, "send_bytes_copied"};
    copied.goal = Goal::ValueAtMost;
    AddRow(copied);

    Row allocations;
    allocations.figure = "pool allocations";
    allocations.unit = "per write";
    allocations.subject = {kName, "pool_allocations"};
    allocations.goal = Goal::ValueAtMost;
    AddRow(allocations);

    Row descriptors;
    descriptors.figure = "packet descriptors taken from the send pool";
    descriptors.unit = "per write";
    descriptors.subject = {kName, "packet_descriptors"};
    descriptors.comparisonLabel = "budget: one";
    descriptors.comparison.fixed = 1;
    AddRow(descriptors);
}

}  // namespace bench
