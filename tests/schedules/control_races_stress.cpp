// Control requests under many schedules: two attaches of one handle, an
// attach against the adapter's removal, a refused attach against another
// request on its handle, and media indications against waits
// being queued, cancelled and cleaned up. Exactly one attach wins, and every
// wait ends once, answered from its own indication or cancelled.
#include <gtest/gtest.h>

#include "tests/support/loaded_driver.h"
#include "tests/support/race_stage.h"
#include "tests/support/schedules.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::ExploreSchedules;
using rztest::FinalStatusOf;
using rztest::RaceStage;
using rztest::RunParties;

constexpr unsigned kSeeds = 400;

class ControlRaces : public rztest::SimTest {};

TEST_F(ControlRaces, TwoAttachesOfOneHandle)
{
    ExploreSchedules({"attach against attach", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        // Even seeds race for two adapters, odd ones for the same adapter.
        sim::Adapter other = seed % 2 == 0 ? stage.AddAdapter(u"\\Device\\{SIM-NIC-1}") : stage.Nic();
        sim::ClientHandle client = stage.OpenHandle();
        NTSTATUS results[2] = {};
        RunParties(seed, {[&] { results[0] = FinalStatusOf(RaceStage::Attach(client, stage.Nic())); },
                          [&] { results[1] = FinalStatusOf(RaceStage::Attach(client, other)); }});
        ASSERT_EQ((results[0] == STATUS_SUCCESS) + (results[1] == STATUS_SUCCESS), 1)
            << std::hex << results[0] << " " << results[1];
        EXPECT_EQ((results[0] == STATUS_DEVICE_ALREADY_ATTACHED) + (results[1] == STATUS_DEVICE_ALREADY_ATTACHED), 1);
        // The handle is attached to the winner's adapter: a write goes out there.
        const sim::Adapter &winner = results[0] == STATUS_SUCCESS ? stage.Nic() : other;
        const RaceStage::Frame frame = RaceStage::EapolFrame(30, 1);
        EXPECT_EQ(FinalStatusOf(client.Write(frame)), STATUS_SUCCESS);
        EXPECT_EQ(winner.SentFrames(), std::vector<RaceStage::Frame>{frame});
    });
}

TEST_F(ControlRaces, AnAttachAgainstTheRemovalOfTheAdapter)
{
    ExploreSchedules({"attach against unbind", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle client = stage.OpenHandle();
        NTSTATUS attached = 0;
        bool removed = false;
        RunParties(seed, {[&] { attached = FinalStatusOf(RaceStage::Attach(client, stage.Nic())); },
                          [&] { removed = stage.Nic().Remove(sim::kWaitLimit); }});
        EXPECT_TRUE(removed);
        EXPECT_TRUE(attached == STATUS_SUCCESS || attached == STATUS_NO_SUCH_DEVICE ||
                    attached == STATUS_INVALID_DEVICE_STATE)
            << std::hex << attached;
        // An attachment that won keeps the record, not the adapter: its reads
        // are refused; without one they are refused as unattached.
        NTSTATUS read = FinalStatusOf(client.Read(100));
        EXPECT_EQ(read, attached == STATUS_SUCCESS ? STATUS_INVALID_DEVICE_STATE : STATUS_INVALID_HANDLE);
    });
}

// Two attaches of one handle, one to an adapter being removed: at most one
// wins, and a handle that no attach won is free, not attached to a binding
// whose attach was refused.
TEST_F(ControlRaces, TwoAttachesOfOneHandleAgainstTheRemovalOfOneAdapter)
{
    ExploreSchedules({"attach against attach and removal", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::Adapter staying = stage.AddAdapter(u"\\Device\\{SIM-NIC-1}");
        sim::ClientHandle client = stage.OpenHandle();
        NTSTATUS results[2] = {};
        bool removed = false;
        RunParties(seed, {[&] { results[0] = FinalStatusOf(RaceStage::Attach(client, stage.Nic())); },
                          [&] { results[1] = FinalStatusOf(RaceStage::Attach(client, staying)); },
                          [&] { removed = stage.Nic().Remove(sim::kWaitLimit); }});
        EXPECT_TRUE(removed);
        EXPECT_LE((results[0] == STATUS_SUCCESS) + (results[1] == STATUS_SUCCESS), 1)
            << std::hex << results[0] << " " << results[1];
        EXPECT_TRUE(results[1] == STATUS_SUCCESS || results[1] == STATUS_DEVICE_ALREADY_ATTACHED)
            << std::hex << results[1];
        // A handle attached to nothing is free to attach again.
        if (results[0] != STATUS_SUCCESS && results[1] != STATUS_SUCCESS) {
            EXPECT_EQ(FinalStatusOf(RaceStage::Attach(client, staying)), STATUS_SUCCESS);
        }
    });
}

// An attach against the close of its own handle: an attach issued after the
// close never reaches the driver; otherwise the cleanup finds the handle
// attached or not, and the attachment's reference goes with the close, once.
TEST_F(ControlRaces, AnAttachAgainstTheCloseOfItsHandle)
{
    ExploreSchedules({"attach against close", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        if (seed % 2 == 0) {
            stage.Nic().SetCloseCompletion(sim::Completion::Pended);
            stage.Nic().BeginRemove();
        }
        sim::ClientHandle client = stage.OpenHandle();
        NTSTATUS attached = 0;
        RunParties(seed, {[&] { attached = FinalStatusOf(RaceStage::Attach(client, stage.Nic())); },
                          [&] { client.Close(); }});
        if (seed % 2 == 0) {
            EXPECT_TRUE(stage.Nic().CompletePendedClose());
            EXPECT_TRUE(stage.Nic().WaitRemoved(sim::kWaitLimit));
        }
        EXPECT_TRUE(attached == STATUS_SUCCESS || attached == STATUS_INVALID_DEVICE_STATE ||
                    attached == STATUS_NO_SUCH_DEVICE || attached == STATUS_INVALID_HANDLE)
            << std::hex << attached;
    });
}

// The binding is unbinding and its close pended, so it is still listed but
// takes no new work: an attach to it is refused, while another request on
// the same handle goes on and the close completes, letting the list's
// reference go. The handle never looks attached to the other request, and
// the record goes once the attach has let its lookup's reference go.
TEST_F(ControlRaces, AnAttachRefusedByAnUnbindAgainstARequestOnTheHandle)
{
    ExploreSchedules({"refused attach against request and close", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        stage.Nic().SetCloseCompletion(sim::Completion::Pended);
        stage.Nic().BeginRemove();
        sim::ClientHandle client = stage.OpenHandle();
        NTSTATUS attached = 0;
        NTSTATUS waited = 0;
        bool closed = false;
        RunParties(seed, {[&] { attached = FinalStatusOf(RaceStage::Attach(client, stage.Nic())); },
                          [&] { waited = FinalStatusOf(RaceStage::Wait(client, NDIS_STATUS_MEDIA_CONNECT, 4)); },
                          [&] { closed = stage.Nic().CompletePendedClose(); }});
        EXPECT_TRUE(closed);
        EXPECT_TRUE(stage.Nic().WaitRemoved(sim::kWaitLimit));
        EXPECT_TRUE(attached == STATUS_INVALID_DEVICE_STATE || attached == STATUS_NO_SUCH_DEVICE)
            << std::hex << attached;
        EXPECT_EQ(waited, STATUS_INVALID_HANDLE) << std::hex << waited;
    });
}

// An indication's buffer says which status it came with.
std::vector<uint8_t> BufferOf(NDIS_STATUS status)
{
    return {static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8), 0x5A};
}

TEST_F(ControlRaces, IndicationsAgainstWaitsAndCancels)
{
    ExploreSchedules({"indications against waits", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle client = stage.AttachedHandle();
        std::vector<std::pair<sim::ControlRequest, NDIS_STATUS>> waits;
        RunParties(seed, {[&] {
                              for (NDIS_STATUS awaited : {NDIS_STATUS_MEDIA_CONNECT, NDIS_STATUS_MEDIA_DISCONNECT,
                                                          NDIS_STATUS_MEDIA_CONNECT}) {
                                  waits.emplace_back(RaceStage::Wait(client, awaited, 2), awaited);
                              }
                              waits.front().first.Cancel();
                              // CancelIo reaches the calling thread's own requests.
                              if (seed % 3 == 0) {
                                  client.CancelIo();
                              }
                          },
                          [&] {
                              stage.Nic().IndicateStatus(NDIS_STATUS_MEDIA_CONNECT, BufferOf(NDIS_STATUS_MEDIA_CONNECT));
                              stage.Nic().IndicateStatus(NDIS_STATUS_MEDIA_DISCONNECT,
                                                         BufferOf(NDIS_STATUS_MEDIA_DISCONNECT));
                          }});
        // The waiting party's exit, or else the handle's cleanup, ends the
        // waits still queued.
        client.Close();
        for (const auto &[wait, awaited] : waits) {
            ASSERT_TRUE(wait.WaitForCompletion());
            IO_STATUS_BLOCK result = wait.FinalStatus();
            if (result.Status == STATUS_CANCELLED) {
                EXPECT_EQ(result.Information, 0u);
                continue;
            }
            // Cut to the two bytes the wait offered.
            EXPECT_EQ(result.Status, STATUS_BUFFER_OVERFLOW);
            std::vector<uint8_t> expected = BufferOf(awaited);
            expected.resize(2);
            EXPECT_EQ(wait.Returned(), expected);
        }
    });
}

}  // namespace
