// Frames and requests racing on real threads: indications on two threads
// against reads, cancels and cleanups; sends completing out of order on
// another thread while writes keep coming.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "sim/ndis_pools.h"
#include "tests/support/relay_traffic.h"

namespace {

using rztest::Bytes;
using rztest::EapolFrame;

class TrafficStress : public rztest::RelayTraffic {};

// A frame built by EapolFrame: EAPOL type, payload counting up from its seed.
bool IsWholeEapolFrame(const Bytes &frame)
{
    if (frame.size() < 15 || frame[12] != 0x88 || frame[13] != 0x8E) {
        return false;
    }
    uint8_t seed = static_cast<uint8_t>(frame[14] - 14);
    for (size_t i = 14; i < frame.size(); ++i) {
        if (frame[i] != static_cast<uint8_t>(seed + i)) {
            return false;
        }
    }
    return true;
}

TEST_F(TrafficStress, IndicationsOnTwoThreadsAgainstReadsCancelsAndCleanups)
{
    constexpr int kRounds = 150;
    sim::File one = Attach();
    sim::File other = Attach();

    std::thread headers([this] {
        for (int i = 0; i < kRounds; ++i) {
            nic_.IndicateReceive(EapolFrame(60 + i % 60, static_cast<uint8_t>(i)), {.lookahead = 16});
        }
    });
    std::thread packets([this] {
        for (int i = 0; i < kRounds; ++i) {
            nic_.IndicatePacket(EapolFrame(60 + i % 50, static_cast<uint8_t>(i)),
                                {.pieces = {14, 9}, .resources = i % 2 == 0});
        }
    });
    std::vector<sim::Request> reads;
    for (int i = 0; i < kRounds; ++i) {
        reads.push_back(Read(i % 2 ? one : other, 1514));
        if (i % 3 == 0) {
            reads.back().Cancel();
        }
        if (i % 16 == 0) {
            Cleanup(one);
        }
    }
    headers.join();
    packets.join();
    Cleanup(one);
    Cleanup(other);

    for (const sim::Request &read : reads) {
        ASSERT_TRUE(read.WaitForCompletion());
        IO_STATUS_BLOCK result = read.FinalStatus();
        if (result.Status == STATUS_CANCELLED) {
            EXPECT_EQ(result.Information, 0u);
            continue;
        }
        ASSERT_EQ(result.Status, STATUS_SUCCESS);
        Bytes frame = sim::CallerBytes(read);
        frame.resize(result.Information);
        EXPECT_TRUE(IsWholeEapolFrame(frame));
    }
    EXPECT_EQ(QueuedReads(), 0u);
}

TEST_F(TrafficStress, SendsCompleteOutOfOrderOnAnotherThread)
{
    constexpr int kWrites = 200;
    sim::File file = Attach();
    nic_.SetSendCompletion({.pended = true});
    std::atomic<bool> writing{true};

    std::thread adapter([this, &writing] {
        std::mt19937 random(5);
        while (writing || nic_.PendedSendCount() != 0) {
            if (!nic_.WaitForPendedSends(1, std::chrono::milliseconds(20))) {
                continue;
            }
            size_t index = random() % nic_.PendedSendCount();
            nic_.CompletePendedSend(index, random() % 4 == 0 ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS);
        }
    });
    // A write that finds every send descriptor in flight fails at once; the
    // writer then tries again once the adapter has had a chance to finish one.
    std::vector<std::pair<sim::Request, size_t>> writes;
    int refused = 0;
    for (int i = 0; i < kWrites && refused < 20000; ++i) {
        size_t length = 14 + i % 100;
        sim::Request write = Write(file, EapolFrame(length, static_cast<uint8_t>(i)));
        if (write.DispatchStatus() == STATUS_PENDING) {
            writes.emplace_back(write, length);
            continue;
        }
        EXPECT_EQ(write.FinalStatus().Status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(write.FinalStatus().Information, 0u);
        ++refused;
        --i;
        std::this_thread::yield();
    }
    writing = false;
    adapter.join();

    ASSERT_EQ(writes.size(), static_cast<size_t>(kWrites));
    for (const auto &[write, length] : writes) {
        ASSERT_TRUE(write.WaitForCompletion());
        IO_STATUS_BLOCK result = write.FinalStatus();
        EXPECT_TRUE(result.Status == STATUS_SUCCESS || result.Status == STATUS_UNSUCCESSFUL);
        EXPECT_EQ(result.Information, length);
    }
    EXPECT_EQ(nic_.SentFrames().size(), writes.size());
    EXPECT_EQ(sim::PacketsInUse(binding_->SendPacketPool), 0u);
}

}  // namespace
