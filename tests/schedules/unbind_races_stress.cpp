// The adapter's removal under many schedules, against the work that uses the
// open adapter: an OID query and set, a write whose send the adapter may
// finish at once or later, and a frame whose rest comes by a data transfer
// that may also finish later. The adapter is closed only after that work is
// done, the unbind completes, and each request ends once with its result or
// with a status saying the adapter is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>

#include "control/relay_ioctl.h"
#include "sim/direct_io.h"
#include "sim/hooks.h"
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

class UnbindRaces : public rztest::SimTest {};

void Append(std::vector<uint8_t> &bytes, ULONG value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
}

// The OID, and for a set the 32-bit value that follows it.
std::vector<uint8_t> OidInput(NDIS_OID oid, std::optional<ULONG> value = std::nullopt)
{
    std::vector<uint8_t> input;
    Append(input, oid);
    if (value) {
        Append(input, *value);
    }
    return input;
}

TEST_F(UnbindRaces, RemovalAgainstAQueryAndASet)
{
    ExploreSchedules({"unbind against query and set", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle client = stage.AttachedHandle();
        std::optional<sim::ControlRequest> query;
        std::optional<sim::ControlRequest> set;
        bool removed = false;
        RunParties(seed, {[&] { query = client.Control(IOCTL_RELAY_QUERY_OID, OidInput(OID_802_3_CURRENT_ADDRESS), 6); },
                          [&] {
                              set = client.Control(IOCTL_RELAY_SET_OID,
                                                   OidInput(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED), 0);
                          },
                          [&] { removed = stage.Nic().Remove(sim::kWaitLimit); }});
        EXPECT_TRUE(removed);
        ASSERT_TRUE(query && query->WaitForCompletion());
        if (query->FinalStatus().Status == STATUS_SUCCESS) {
            EXPECT_EQ(query->Returned(), RaceStage::Station());
        } else {
            EXPECT_EQ(query->FinalStatus().Status, STATUS_INVALID_DEVICE_STATE);
            EXPECT_EQ(query->FinalStatus().Information, 0u);
        }
        ASSERT_TRUE(set && set->WaitForCompletion());
        EXPECT_TRUE(set->FinalStatus().Status == STATUS_SUCCESS ||
                    set->FinalStatus().Status == STATUS_INVALID_DEVICE_STATE)
            << std::hex << set->FinalStatus().Status;
        EXPECT_EQ(stage.Nic().OpenCount(), 0u);
    });
}

TEST_F(UnbindRaces, RemovalAgainstAWrite)
{
    ExploreSchedules({"unbind against send", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle client = stage.AttachedHandle();
        const bool pended = seed % 2 == 0;
        stage.Nic().SetSendCompletion({.pended = pended});
        const Frame frame = RaceStage::EapolFrame(50, static_cast<uint8_t>(seed));
        std::optional<sim::Request> write;
        RunParties(seed, {[&] { write = client.Write(frame); }, [&] { stage.Nic().BeginRemove(); }});
        // The adapter finishes what it took; only then can the close complete.
        while (stage.Nic().CompletePendedSend()) {
        }
        EXPECT_TRUE(stage.Nic().WaitRemoved(sim::kWaitLimit));
        ASSERT_TRUE(write && write->WaitForCompletion());
        if (write->FinalStatus().Status == STATUS_SUCCESS) {
            EXPECT_EQ(write->FinalStatus().Information, frame.size());
            EXPECT_EQ(stage.Nic().SentFrames(), std::vector<Frame>{frame});
        } else {
            EXPECT_EQ(write->FinalStatus().Status, STATUS_INVALID_DEVICE_STATE);
            EXPECT_EQ(write->FinalStatus().Information, 0u);
            EXPECT_TRUE(stage.Nic().SentFrames().empty());
        }
    });
}

TEST_F(UnbindRaces, RemovalAgainstAFrameThatNeedsATransfer)
{
    ExploreSchedules({"unbind against transfer", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle client = stage.AttachedHandle();
        stage.Nic().SetTransferCompletion({.pended = seed % 2 == 0});
        const Frame frame = RaceStage::EapolFrame(80, static_cast<uint8_t>(seed));
        sim::Request read = client.Read(1514);
        RunParties(seed, {[&] { stage.Nic().IndicateReceive(frame, {.lookahead = 10}); },
                          [&] { stage.Nic().BeginRemove(); }});
        while (stage.Nic().CompletePendedTransfer()) {
        }
        EXPECT_TRUE(stage.Nic().WaitRemoved(sim::kWaitLimit));
        ASSERT_TRUE(read.WaitForCompletion());
        IO_STATUS_BLOCK result = read.FinalStatus();
        if (result.Status == STATUS_SUCCESS) {
            ASSERT_EQ(result.Information, frame.size());
            Frame got = sim::CallerBytes(read);
            got.resize(frame.size());
            EXPECT_EQ(got, frame);
        } else {
            EXPECT_EQ(result.Status, STATUS_DEVICE_REMOVED);
            EXPECT_EQ(result.Information, 0u);
        }
    });
}

// The driver stops while the adapter's removal unbinds it, a client's query
// holding the open adapter: NDIS unbinds the binding once, by whichever road
// comes first, and the other waits for that unbind to complete.
TEST_F(UnbindRaces, TheDriversStopAgainstTheRemoval)
{
    ExploreSchedules({"stop against removal", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        sim::ClientHandle client = stage.AttachedHandle();
        std::optional<sim::ControlRequest> query;
        bool removed = false;
        RunParties(seed, {[&] { query = client.Control(IOCTL_RELAY_QUERY_OID, OidInput(OID_802_3_CURRENT_ADDRESS), 6); },
                          [&] { removed = stage.Nic().Remove(sim::kWaitLimit); },
                          // The client's handle holds the unload back until the stage closes it.
                          [&] { stage.Stop(); }});
        EXPECT_TRUE(removed);
        EXPECT_EQ(stage.Nic().UnbindCount(), 1u);
        EXPECT_EQ(stage.Nic().OpenCount(), 0u);
        ASSERT_TRUE(query && query->WaitForCompletion());
        EXPECT_TRUE(query->FinalStatus().Status == STATUS_SUCCESS ||
                    query->FinalStatus().Status == STATUS_INVALID_DEVICE_STATE)
            << std::hex << query->FinalStatus().Status;
    });
}

// The driver stops while a frame is being indicated: the close waits for the
// indication, whose end completes the unbind, which lets the unload go on.
TEST_F(UnbindRaces, TheDriversStopAgainstAnIndicationInProgress)
{
    ExploreSchedules({"stop against indication", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        stage.Nic().SetTransferCompletion({.pended = false});
        const Frame frame = RaceStage::EapolFrame(80, static_cast<uint8_t>(seed));
        bool unloaded = false;
        RunParties(seed, {[&] { stage.Nic().IndicateReceive(frame, {.lookahead = seed % 2 == 0 ? 10u : 66u}); },
                          [&] { unloaded = stage.Stop(); }});
        EXPECT_TRUE(unloaded);
    });
}

// The driver stops while the adapter is in a frame's data transfer, which
// holds the adapter open: the stop's unbind leaves the last open reference to
// the transfer, whose end drops it at DISPATCH_LEVEL, so the close runs from
// the I/O work item. The worker completes the unbind, which lets the stop go
// on to the unload while the worker is still on its way out; the transfer
// pends or ends at once as the seed has it.
TEST_F(UnbindRaces, TheDriversStopAgainstTheCloseWorker)
{
    ExploreSchedules({"stop against close worker", kSeeds}, [](uint64_t seed) {
        RaceStage stage;
        stage.Nic().SetTransferCompletion({.pended = seed % 2 == 0});
        rztest::Gate inTransfer;
        rztest::Gate unbound;
        std::atomic<bool> workerRan{false};
        sim::SetHook("NdisTransferData", [&] {
            inTransfer.Open();
            EXPECT_TRUE(unbound.Wait());
        });
        sim::SetHook("UnbindAdapterHandler.returned", [&] { unbound.Open(); });
        sim::SetHook("IoWorkItem.run", [&] { workerRan = true; });
        bool unloaded = false;
        RunParties(seed, {[&] {
                              stage.Nic().IndicateReceive(RaceStage::EapolFrame(80, static_cast<uint8_t>(seed)),
                                                          {.lookahead = 10});
                              while (stage.Nic().CompletePendedTransfer()) {
                              }
                          },
                          [&] {
                              EXPECT_TRUE(inTransfer.Wait());
                              unloaded = stage.Stop();
                          }});
        sim::ClearHooks();
        EXPECT_TRUE(unloaded);
        EXPECT_TRUE(workerRan) << "the close ran from the worker";
    });
}

}  // namespace
