// Write requests: the caller's frame goes to the adapter as written, without
// a copy, and the write ends when the adapter completes the send.
#include <gtest/gtest.h>

#include "bindings/lifecycle.h"
#include "sim/hooks.h"
#include "sim/ndis_pools.h"
#include "tests/support/relay_traffic.h"

namespace {

using rztest::Bytes;
using rztest::ExpectCompleted;

class Writes : public rztest::RelayTraffic {};

TEST_F(Writes, RefusedInOrderHandlePowerFlagsLength)
{
    ExpectCompleted(Write(Unattached(), {}), STATUS_INVALID_HANDLE, 0);

    sim::File file = Attach();
    LONG references = binding_->RefCount;
    InterlockedExchange(&binding_->PowerState, NdisDeviceStateD3);
    InterlockedOr(&binding_->Flags, BINDING_RESET_IN_PROGRESS);
    ExpectCompleted(Write(file, {}), STATUS_DEVICE_POWER_FAILURE, 0);
    InterlockedExchange(&binding_->PowerState, NdisDeviceStateD0);
    ExpectCompleted(Write(file, {}), STATUS_INVALID_DEVICE_STATE, 0);
    InterlockedAnd(&binding_->Flags, ~BINDING_RESET_IN_PROGRESS);
    ExpectCompleted(Write(file, {}), STATUS_INVALID_PARAMETER, 0);
    ExpectCompleted(Write(file, rztest::EapolFrame(13)), STATUS_INVALID_PARAMETER, 0);

    EXPECT_TRUE(nic_.SentFrames().empty());
    EXPECT_EQ(binding_->RefCount, references);
    EXPECT_EQ(sim::PacketsInUse(binding_->SendPacketPool), 0u);
}

TEST_F(Writes, AnyFrameIsSentAsWrittenAndMayCompleteInsideTheSend)
{
    sim::File file = Attach();
    Bytes header = rztest::EthernetFrame(14, 0x0800, 0, Bytes(6, 0xFF));
    sim::Request write = Write(file, header);
    EXPECT_EQ(write.DispatchStatus(), STATUS_PENDING);
    ExpectCompleted(write, STATUS_SUCCESS, 14);
    EXPECT_TRUE(write.CompletedMarkedPending());
    EXPECT_EQ(nic_.SentFrames(), std::vector<Bytes>{header});
    EXPECT_EQ(sim::PacketsInUse(binding_->SendPacketPool), 0u);
}

TEST_F(Writes, OwnSendsAreNotLoopedBackToReads)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 100);
    ExpectCompleted(Write(file, rztest::EapolFrame(60)), STATUS_SUCCESS, 60);
    EXPECT_FALSE(read.Completed());
    Cleanup(file);
}

TEST_F(Writes, FailedSendCompletesWithTheTranslatedStatusAndTheFrameLength)
{
    sim::File file = Attach();
    nic_.SetSendCompletion({.status = NDIS_STATUS_CLOSING});
    ExpectCompleted(Write(file, rztest::EapolFrame(60)), (NTSTATUS)0xC0230002, 60);
    nic_.SetSendCompletion({.pended = true});
    sim::Request write = Write(file, rztest::EapolFrame(61));
    EXPECT_TRUE(nic_.CompletePendedSend(0, NDIS_STATUS_RESOURCES));
    ExpectCompleted(write, STATUS_INSUFFICIENT_RESOURCES, 61);
}

// NDIS_STATUS_PENDING is no outcome of a send: the write fails with the frame's length.
TEST_F(Writes, ASendCompletedWithoutAFinalStatusFailsTheWrite)
{
    sim::File file = Attach();
    nic_.SetSendCompletion({.pended = true});
    sim::Request write = Write(file, rztest::EapolFrame(62));
    EXPECT_TRUE(nic_.CompletePendedSend(0, NDIS_STATUS_PENDING));
    ExpectCompleted(write, STATUS_UNSUCCESSFUL, 62);
}

TEST_F(Writes, WriteBeyondThePoolsCapacityFailsAtOnce)
{
    sim::File file = Attach();
    nic_.SetSendCompletion({.pended = true});
    std::vector<sim::Request> writes;
    for (uint8_t i = 0; i < 12; ++i) {
        writes.push_back(Write(file, rztest::EapolFrame(20 + i, i)));
        EXPECT_EQ(writes.back().DispatchStatus(), STATUS_PENDING);
    }
    ExpectCompleted(Write(file, rztest::EapolFrame(60)), STATUS_INSUFFICIENT_RESOURCES, 0);

    // The adapter finishes them in its own order.
    for (size_t left = writes.size(); left > 0; --left) {
        EXPECT_TRUE(nic_.CompletePendedSend(left / 2));
    }
    for (size_t i = 0; i < writes.size(); ++i) {
        ExpectCompleted(writes[i], STATUS_SUCCESS, 20 + i);
    }
    EXPECT_EQ(sim::PacketsInUse(binding_->SendPacketPool), 0u);
}

TEST_F(Writes, CancelCleanupAndCloseDoNotEndAPendingWrite)
{
    sim::File file = Attach();
    nic_.SetSendCompletion({.pended = true});
    sim::Request write = Write(file, rztest::EapolFrame(60));
    EXPECT_FALSE(write.Cancel());
    EXPECT_EQ(Cleanup(file), STATUS_SUCCESS);
    Close(file);
    EXPECT_FALSE(write.Completed());
    EXPECT_TRUE(nic_.CompletePendedSend());
    ExpectCompleted(write, STATUS_SUCCESS, 60);
}

TEST_F(Writes, AFrameLongerThanTheAdapterSendsFailsAsTheAdapterFailsIt)
{
    sim::File file = Attach();
    Bytes longest = rztest::EapolFrame(1514);
    ExpectCompleted(Write(file, longest), STATUS_SUCCESS, 1514);
    // NDIS_STATUS_INVALID_PACKET in the NDIS facility; the frame's length all the same.
    ExpectCompleted(Write(file, rztest::EapolFrame(1515)), static_cast<NTSTATUS>(0xC023000F), 1515);
    EXPECT_EQ(nic_.SentFrames(), std::vector<Bytes>{longest});
    EXPECT_EQ(sim::PacketsInUse(binding_->SendPacketPool), 0u);
}

TEST_F(Writes, OnlyTheFirstMdlIsSentAndTheWholeChainGoesBack)
{
    sim::File file = Attach();
    Bytes frame = rztest::EapolFrame(40);
    sim::Request write = ChainedWrite(file, {frame, Bytes(30, 0xEE)});
    ExpectCompleted(write, STATUS_SUCCESS, 40);
    EXPECT_EQ(nic_.SentFrames(), std::vector<Bytes>{frame});
    // The I/O manager found the chain whole: no MDL is left behind (checked
    // at the end of every test).
}

TEST_F(Writes, UnbindOrResetBeginningDuringTheDispatchRefusesTheSend)
{
    sim::File file = Attach();
    LONG references = binding_->RefCount;
    sim::SetHook("NdisAllocatePacket", [this] { InterlockedOr(&binding_->Flags, BINDING_RESET_IN_PROGRESS); });
    ExpectCompleted(Write(file, rztest::EapolFrame(60)), STATUS_INVALID_DEVICE_STATE, 0);
    InterlockedAnd(&binding_->Flags, ~BINDING_RESET_IN_PROGRESS);
    EXPECT_TRUE(nic_.SentFrames().empty());
    EXPECT_EQ(sim::PacketsInUse(binding_->SendPacketPool), 0u);
    EXPECT_EQ(binding_->RefCount, references);
    EXPECT_EQ(binding_->OpenRefCount, 1);
}

TEST_F(Writes, UnbindWithSendsInFlightWaitsForEachAndKeepsTheRecord)
{
    sim::File file = Attach();
    nic_.SetSendCompletion({.pended = true});
    sim::Request first = Write(file, rztest::EapolFrame(60, 1));
    sim::Request second = Write(file, rztest::EapolFrame(61, 2));

    nic_.BeginRemove();
    EXPECT_EQ(nic_.LatestUnbind().handlerStatus, NDIS_STATUS_PENDING);
    EXPECT_FALSE(nic_.LatestUnbind().completed) << "the close waits for the sends";
    ExpectCompleted(Write(file, rztest::EapolFrame(60)), STATUS_INVALID_DEVICE_STATE, 0);

    EXPECT_TRUE(nic_.CompletePendedSend(1));
    ExpectCompleted(second, STATUS_SUCCESS, 61);
    EXPECT_FALSE(nic_.LatestUnbind().completed);
    EXPECT_TRUE(nic_.CompletePendedSend(0));
    ExpectCompleted(first, STATUS_SUCCESS, 60);
    EXPECT_TRUE(nic_.WaitRemoved(sim::kWaitLimit));
    EXPECT_EQ(protocol_->ListedCount(), 0u);
    // The file and the fixture still hold the record.
    EXPECT_EQ(binding_->RefCount, 2);
    removed_ = true;
}

}  // namespace
