#include "bench/counted_run.h"

#include "sim/io.h"

namespace bench {

namespace {
// Requests and the callers' buffers kept between two forgettings.
constexpr uint64_t kIterationsBetweenForgetting = 256;
}

void CountedRun::Start()
{
    before_ = sim::CountersNow();
    started_ = std::chrono::steady_clock::now();
}

void CountedRun::Stop()
{
    auto stopped = std::chrono::steady_clock::now();
    sim::PlatformCounters after = sim::CountersNow();
    state_.SetIterationTime(std::chrono::duration<double>(stopped - started_).count());
    total_.poolAllocations += after.poolAllocations - before_.poolAllocations;
    total_.poolBytes += after.poolBytes - before_.poolBytes;
    total_.packetDescriptors += after.packetDescriptors - before_.packetDescriptors;
    total_.bufferDescriptors += after.bufferDescriptors - before_.bufferDescriptors;
    total_.ndisBytesCopied += after.ndisBytesCopied - before_.ndisBytesCopied;
    total_.sendBytesFromPool += after.sendBytesFromPool - before_.sendBytesFromPool;
    total_.readBytesCompleted += after.readBytesCompleted - before_.readBytesCompleted;
    if (++iterations_ % kIterationsBetweenForgetting == 0) {
        sim::ForgetFinishedRequests();
    }
}

void CountedRun::Report(double per)
{
    double count = static_cast<double>(iterations_) * per;
    if (count == 0) {
        return;
    }
    auto put = [&](const char *name, uint64_t value) {
        state_.counters[name] = static_cast<double>(value) / count;
    };
    put("pool_allocations", total_.poolAllocations);
    put("pool_bytes", total_.poolBytes);
    put("descriptors", total_.packetDescriptors + total_.bufferDescriptors);
    put("packet_descriptors", total_.packetDescriptors);
    // The driver's own copies are the compiler's memory copies, which no
    // platform call sees; each lands where the platform does see it. On the
    // receive side: in a pool block allocated for the frame and filled whole
    // (by the driver, or by a transfer), and in the callers' read buffers.
    // On the send side: in memory of the driver's pool that the adapter then
    // reads, or in a packet NDIS copied into.
    put("receive_bytes_copied", total_.poolBytes + total_.readBytesCompleted);
    put("send_bytes_copied", total_.sendBytesFromPool + total_.ndisBytesCopied);
    sim::ForgetFinishedRequests();
}

}  // namespace bench
