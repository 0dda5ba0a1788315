// The queues of pending requests under many schedules: a client's cancel
// against the frame that would complete its read, against its handle's
// cleanup and against the adapter's removal, and the frame's delivery against
// cleanup and removal together. Whoever comes first, each request ends exactly
// once with a status that says who ended it.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "sim/direct_io.h"
#include "tests/support/gate.h"
#include "tests/support/race_stage.h"
#include "tests/support/schedules.h"
#include "tests/support/sim_test.h"

namespace {

using Frame = rztest::RaceStage::Frame;
using rztest::ExploreSchedules;
using rztest::RaceStage;
using rztest::RunParties;

constexpr unsigned kSeeds = 400;

class QueueRaces : public rztest::SimTest {};

// The adapter indicates the frame in the shape the seed picks: header and
// whole lookahead, header and a short lookahead that needs a transfer, or a
// whole packet in two buffers, which the miniport may need back at once.
void IndicateFrame(sim::Adapter &nic, const Frame &frame, uint64_t seed)
{
    switch (seed % 4) {
    case 0:
        nic.IndicateReceive(frame);
        break;
    case 1:
        nic.IndicateReceive(frame, {.lookahead = 8});
        break;
    default:
        nic.IndicatePacket(frame, {.pieces = {14}, .resources = seed % 4 == 3});
        break;
    }
}

// A read ends once: with the frame cut to its length, or with one of
// `otherwise` and no bytes.
void ExpectReadEnded(const sim::Request &read, const Frame &frame, ULONG length,
                     std::initializer_list<NTSTATUS> otherwise)
{
    ASSERT_TRUE(read.WaitForCompletion());
    IO_STATUS_BLOCK result = read.FinalStatus();
    if (std::find(otherwise.begin(), otherwise.end(), result.Status) != otherwise.end()) {
        EXPECT_EQ(result.Information, 0u);
        return;
    }
    ASSERT_TRUE(result.Status == STATUS_SUCCESS || result.Status == STATUS_BUFFER_OVERFLOW)
        << std::hex << result.Status;
    size_t expected = std::min<size_t>(length, frame.size());
    ASSERT_EQ(result.Information, expected);
    Frame got = sim::CallerBytes(read);
    EXPECT_TRUE(std::equal(frame.begin(), frame.begin() + expected, got.begin()));
}

void ExpectEndedWithOneOf(const sim::Request &request, std::initializer_list<NTSTATUS> statuses)
{
    ASSERT_TRUE(request.WaitForCompletion());
    NTSTATUS status = request.FinalStatus().Status;
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), status), statuses.end()) << std::hex << status;
    EXPECT_EQ(request.FinalStatus().Information, 0u);
}

TEST_F(QueueRaces, ACancelAgainstTheFrameThatWouldCompleteTheRead)
{
    ExploreSchedules({"cancel against delivery", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle client = stage.AttachedHandle();
        const Frame frame = RaceStage::EapolFrame(60, static_cast<uint8_t>(seed));
        sim::Request whole = client.Read(1514);
        sim::Request cut = client.Read(20);
        RunParties(seed, {[&] { whole.Cancel(); },
                          [&] { IndicateFrame(stage.Nic(), frame, seed); },
                          [&] { cut.Cancel(); }});
        ExpectReadEnded(whole, frame, 1514, {STATUS_CANCELLED});
        ExpectReadEnded(cut, frame, 20, {STATUS_CANCELLED});
    });
}

TEST_F(QueueRaces, ACancelAgainstTheCleanupOfItsHandle)
{
    ExploreSchedules({"cancel against cleanup", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle client = stage.AttachedHandle();
        sim::Request read = client.Read(100);
        sim::ControlRequest wait = RaceStage::Wait(client, NDIS_STATUS_MEDIA_CONNECT, 8);
        RunParties(seed, {[&] {
                              read.Cancel();
                              wait.Cancel();
                          },
                          [&] { client.Close(); }});
        ExpectEndedWithOneOf(read, {STATUS_CANCELLED});
        ExpectEndedWithOneOf(wait, {STATUS_CANCELLED});
    });
}

TEST_F(QueueRaces, ACancelAgainstTheRemovalOfTheAdapter)
{
    ExploreSchedules({"cancel against flush", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle client = stage.AttachedHandle();
        sim::Request read = client.Read(100);
        sim::ControlRequest wait = RaceStage::Wait(client, NDIS_STATUS_MEDIA_DISCONNECT, 8);
        bool removed = false;
        RunParties(seed, {[&] {
                              wait.Cancel();
                              read.Cancel();
                          },
                          [&] { removed = stage.Nic().Remove(sim::kWaitLimit); }});
        EXPECT_TRUE(removed);
        ExpectEndedWithOneOf(read, {STATUS_CANCELLED, STATUS_DEVICE_REMOVED});
        ExpectEndedWithOneOf(wait, {STATUS_CANCELLED, STATUS_DEVICE_REMOVED});
    });
}

// A read and a wait dispatched while the adapter goes: each is refused at
// once, queued and flushed, or refused at its queue, which the unbind flushed
// after the request passed its state test. Their threads live on until the
// removal is done, since a thread's exit cancels its requests: one left
// pending on the removed binding would end cancelled.
TEST_F(QueueRaces, AReadAndAWaitAgainstTheRemovalOfTheAdapter)
{
    ExploreSchedules({"read and wait against removal", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle client = stage.AttachedHandle();
        std::optional<sim::Request> read;
        std::optional<sim::ControlRequest> wait;
        bool removed = false;
        rztest::Gate removalDone;
        RunParties(seed, {[&] {
                              read = client.Read(100);
                              removalDone.Wait();
                          },
                          [&] {
                              wait = RaceStage::Wait(client, NDIS_STATUS_MEDIA_CONNECT, 4);
                              removalDone.Wait();
                          },
                          [&] {
                              removed = stage.Nic().Remove(sim::kWaitLimit);
                              removalDone.Open();
                          }});
        EXPECT_TRUE(removed);
        ASSERT_TRUE(read && wait);
        ExpectEndedWithOneOf(*read, {STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_REMOVED});
        ExpectEndedWithOneOf(*wait, {STATUS_INVALID_DEVICE_STATE, STATUS_DEVICE_REMOVED});
    });
}

TEST_F(QueueRaces, DeliveryAgainstCleanupAndRemoval)
{
    ExploreSchedules({"delivery against cleanup and flush", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle leaving = stage.AttachedHandle();
        sim::ClientHandle staying = stage.AttachedHandle();
        const Frame frame = RaceStage::EapolFrame(64, static_cast<uint8_t>(seed));
        sim::Request leavingRead = leaving.Read(64);
        sim::Request stayingRead = staying.Read(64);
        bool removed = false;
        RunParties(seed, {[&] { IndicateFrame(stage.Nic(), frame, seed); },
                          [&] { leaving.Close(); },
                          [&] { removed = stage.Nic().Remove(sim::kWaitLimit); }});
        EXPECT_TRUE(removed);
        ExpectReadEnded(leavingRead, frame, 64, {STATUS_CANCELLED, STATUS_DEVICE_REMOVED});
        ExpectReadEnded(stayingRead, frame, 64, {STATUS_DEVICE_REMOVED});
    });
}

}  // namespace
