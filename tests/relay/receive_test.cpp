// EAPOL frames from the adapter to the reads pending on its binding, by
// every road a frame can take: held in the lookahead, fetched by a data
// transfer that ends at once, later, or not at all, indicated as a whole
// packet in one or many buffers, or in a packet the miniport needs back.
#include <gtest/gtest.h>

#include <thread>

#include "relay/receive.h"
#include "sim/faults.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/ndis_pools.h"
#include "sim/pool.h"
#include "sim/work.h"
#include "tests/support/relay_traffic.h"

namespace {

using rztest::Bytes;
using rztest::EapolFrame;
using rztest::ExpectCompleted;

class ReceivePath : public rztest::RelayTraffic {
protected:
    // The read completed with the frame's first `length` bytes.
    void ExpectFrame(const sim::Request &read, NTSTATUS status, const Bytes &frame, size_t length)
    {
        ExpectCompleted(read, status, length);
        Bytes got = sim::CallerBytes(read);
        got.resize(length);
        EXPECT_EQ(got, Bytes(frame.begin(), frame.begin() + length));
    }

    // Nothing of a receive packet is left once a frame has been handled.
    void ExpectNothingHeld()
    {
        EXPECT_EQ(sim::PacketsInUse(binding_->RecvPacketPool), 0u);
        EXPECT_EQ(sim::LivePoolBlockCount(RELAY_POOL_TAG), poolBlocks_);
    }

    void SetUp() override
    {
        RelayTraffic::SetUp();
        poolBlocks_ = sim::LivePoolBlockCount(RELAY_POOL_TAG);
    }

    size_t poolBlocks_ = 0;
};

TEST_F(ReceivePath, EapolTestLooksAtTheTypeBytesOnly)
{
    Bytes eapol = EapolFrame(14);
    EXPECT_TRUE(RelayIsEapolFrame(eapol.data(), 14));
    EXPECT_FALSE(RelayIsEapolFrame(eapol.data(), 13));
    EXPECT_FALSE(RelayIsEapolFrame(nullptr, 14));
    Bytes tagged = rztest::EthernetFrame(64, 0x8100);
    tagged[16] = 0x88;
    tagged[17] = 0x8E;
    EXPECT_FALSE(RelayIsEapolFrame(tagged.data(), 64));
    Bytes anyone = rztest::EthernetFrame(14, 0x888E, 0, Bytes(6, 0xFF));
    EXPECT_TRUE(RelayIsEapolFrame(anyone.data(), 14));
}

TEST_F(ReceivePath, OtherFramesAreRefusedBeforeAnyAllocationOrLock)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 200);
    Bytes tagged = rztest::EthernetFrame(64, 0x8100);
    tagged[16] = 0x88;
    tagged[17] = 0x8E;

    uint64_t locks = sim::SpinLockAcquisitions();
    uint64_t failables = sim::faults::TotalCount();
    EXPECT_EQ(nic_.IndicateReceive(rztest::EthernetFrame(60, 0x0800)),
              std::vector<NDIS_STATUS>{NDIS_STATUS_NOT_ACCEPTED});
    EXPECT_EQ(nic_.IndicateReceive(tagged), std::vector<NDIS_STATUS>{NDIS_STATUS_NOT_ACCEPTED});
    EXPECT_EQ(nic_.IndicateReceive(EapolFrame(60), {.headerSize = 13}),
              std::vector<NDIS_STATUS>{NDIS_STATUS_NOT_ACCEPTED});
    EXPECT_EQ(nic_.IndicatePacket(tagged), std::vector<INT>{0});
    // A whole packet whose first buffer cannot hold the header is dropped
    // even when the frame is EAPOL.
    EXPECT_EQ(nic_.IndicatePacket(EapolFrame(60), {.pieces = {10}}), std::vector<INT>{0});
    EXPECT_EQ(sim::SpinLockAcquisitions(), locks);
    EXPECT_EQ(sim::faults::TotalCount(), failables);
    EXPECT_FALSE(read.Completed());
    EXPECT_EQ(QueuedReads(), 1u);
    Cleanup(file);
}

TEST_F(ReceivePath, FrameInTheLookaheadCompletesTheReadDuringTheIndication)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 200);
    EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
    Bytes frame = EapolFrame(60);

    EXPECT_EQ(nic_.IndicateReceive(frame), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    ExpectFrame(read, STATUS_SUCCESS, frame, 60);
    EXPECT_EQ(nic_.PendedTransferCount(), 0u);
    ExpectNothingHeld();
}

TEST_F(ReceivePath, TransferThatEndsAtOnceFillsTheRestOfTheFrame)
{
    sim::File file = Attach();
    sim::Request whole = Read(file, 1514);
    sim::Request shortRead = Read(file, 40);
    Bytes frame = EapolFrame(300, 7);

    EXPECT_EQ(nic_.IndicateReceive(frame, {.lookahead = 20}),
              std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    ExpectFrame(whole, STATUS_SUCCESS, frame, 300);
    // One buffer holds the assembled frame: a short read is simply full.
    ExpectFrame(shortRead, STATUS_SUCCESS, frame, 40);
    ExpectNothingHeld();
}

TEST_F(ReceivePath, PendedTransferDeliversOnlyWhenItCompletesWithSuccess)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 1514);
    nic_.SetTransferCompletion({.pended = true});
    Bytes first = EapolFrame(100, 1);
    Bytes second = EapolFrame(120, 2);

    EXPECT_EQ(nic_.IndicateReceive(first, {.lookahead = 10}),
              std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    EXPECT_FALSE(read.Completed());
    EXPECT_TRUE(nic_.CompletePendedTransfer(NDIS_STATUS_FAILURE));
    EXPECT_FALSE(read.Completed()) << "a failed transfer drops the frame";
    ExpectNothingHeld();

    nic_.IndicateReceive(second, {.lookahead = 10});
    EXPECT_TRUE(nic_.CompletePendedTransfer());
    ExpectFrame(read, STATUS_SUCCESS, second, 120);
    ExpectNothingHeld();
}

TEST_F(ReceivePath, TransferThatFailsAtOnceDropsTheFrame)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 1514);
    nic_.SetTransferCompletion({.status = NDIS_STATUS_FAILURE});
    EXPECT_EQ(nic_.IndicateReceive(EapolFrame(100), {.lookahead = 10}),
              std::vector<NDIS_STATUS>{NDIS_STATUS_NOT_ACCEPTED});
    EXPECT_FALSE(read.Completed());
    ExpectNothingHeld();
    Cleanup(file);
}

// The data block comes from pool memory nobody cleared; a transfer that
// reports success with fewer bytes than asked must not hand the rest of the
// block to a client. Ending at once, it is a failure the handler reports.
TEST_F(ReceivePath, ShortTransferIsDroppedRatherThanExposeUnfilledBytes)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 1514);
    nic_.SetTransferCompletion({.shortBy = 6});
    EXPECT_EQ(nic_.IndicateReceive(EapolFrame(100), {.lookahead = 10}),
              std::vector<NDIS_STATUS>{NDIS_STATUS_NOT_ACCEPTED})
        << "a failure known at once";
    nic_.SetTransferCompletion({.pended = true, .shortBy = 1});
    nic_.IndicateReceive(EapolFrame(100), {.lookahead = 10});
    EXPECT_TRUE(nic_.CompletePendedTransfer());
    EXPECT_FALSE(read.Completed());
    ExpectNothingHeld();
    Cleanup(file);
}

TEST_F(ReceivePath, LookaheadLongerThanThePacketFillsOnlyTheFrame)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 200);
    Bytes frame = EapolFrame(64);
    EXPECT_EQ(nic_.IndicateReceive(frame, {.padding = 40}), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    ExpectFrame(read, STATUS_SUCCESS, frame, 64);
    ExpectNothingHeld();
}

TEST_F(ReceivePath, FlagsStopTransfersButNotFramesThatNeedNone)
{
    sim::File file = Attach();
    sim::Request first = Read(file, 200);
    InterlockedOr(&binding_->Flags, BINDING_RESET_IN_PROGRESS);
    ExpectCompleted(Read(file, 200), STATUS_INVALID_DEVICE_STATE, 0);

    EXPECT_EQ(nic_.IndicateReceive(EapolFrame(100), {.lookahead = 10}),
              std::vector<NDIS_STATUS>{NDIS_STATUS_NOT_ACCEPTED});
    EXPECT_EQ(QueuedReads(), 1u);
    ExpectNothingHeld();
    Bytes inLookahead = EapolFrame(60, 3);
    nic_.IndicateReceive(inLookahead);
    ExpectFrame(first, STATUS_SUCCESS, inLookahead, 60);

    InterlockedAnd(&binding_->Flags, ~BINDING_RESET_IN_PROGRESS);
    sim::Request second = Read(file, 200);
    InterlockedOr(&binding_->Flags, BINDING_UNLOADING);
    Bytes whole = EapolFrame(70, 4);
    nic_.IndicatePacket(whole);
    ExpectFrame(second, STATUS_SUCCESS, whole, 70);
    InterlockedAnd(&binding_->Flags, ~BINDING_UNLOADING);
    ExpectNothingHeld();
}

TEST_F(ReceivePath, WholePacketIsServedFromTheMiniportsBuffers)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 1514);
    Bytes frame = EapolFrame(90, 9);
    uint64_t packets = sim::faults::Count("NdisAllocatePacket");

    EXPECT_EQ(nic_.IndicatePacket(frame, {.pieces = {14, 30, 1}}), std::vector<INT>{0});
    ExpectFrame(read, STATUS_SUCCESS, frame, 90);
    EXPECT_EQ(sim::faults::Count("NdisAllocatePacket"), packets) << "no copy without need";
}

TEST_F(ReceivePath, PacketTheMiniportNeedsBackIsServedFromACopy)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 1514);
    Bytes frame = EapolFrame(90, 5);
    uint64_t packets = sim::faults::Count("NdisAllocatePacket");

    EXPECT_EQ(nic_.IndicatePacket(frame, {.pieces = {20, 20}, .resources = true}), std::vector<INT>{0});
    ExpectFrame(read, STATUS_SUCCESS, frame, 90);
    EXPECT_EQ(sim::faults::Count("NdisAllocatePacket"), packets + 1);
    ExpectNothingHeld();
}

TEST_F(ReceivePath, ManyBuffersIntoShortReads)
{
    sim::File file = Attach();
    Bytes frame = EapolFrame(60, 6);
    sim::Request inFirst = Read(file, 14);
    sim::Request atSecondsEnd = Read(file, 40);
    sim::Request insideLast = Read(file, 50);
    sim::Request atTheEnd = Read(file, 60);

    nic_.IndicatePacket(frame, {.pieces = {14, 26, 20}});
    ExpectFrame(inFirst, STATUS_BUFFER_OVERFLOW, frame, 14);
    ExpectFrame(atSecondsEnd, STATUS_BUFFER_OVERFLOW, frame, 40);
    ExpectFrame(insideLast, STATUS_SUCCESS, frame, 50);
    ExpectFrame(atTheEnd, STATUS_SUCCESS, frame, 60);
}

TEST_F(ReceivePath, EveryPendingReadOfEveryFileGetsTheSameFrame)
{
    sim::File one = Attach();
    sim::File other = Attach();
    sim::Request a = Read(one, 100);
    sim::Request b = Read(one, 100);
    sim::Request c = Read(other, 100);
    Bytes frame = EapolFrame(64, 8);

    nic_.IndicateReceive(frame, {.lookahead = 30});
    for (const sim::Request &read : {a, b, c}) {
        ExpectFrame(read, STATUS_SUCCESS, frame, 64);
    }
}

TEST_F(ReceivePath, FrameWithNoReadPendingIsLost)
{
    sim::File file = Attach();
    nic_.IndicateReceive(EapolFrame(60, 1));
    ExpectNothingHeld();
    sim::Request read = Read(file, 100);
    EXPECT_FALSE(read.Completed());
    Bytes next = EapolFrame(61, 2);
    nic_.IndicateReceive(next);
    ExpectFrame(read, STATUS_SUCCESS, next, 61);
}

TEST_F(ReceivePath, MappingFailuresFailOnlyTheReadConcerned)
{
    sim::File file = Attach();
    sim::Request unmapped = Read(file, 100);
    sim::Request served = Read(file, 100);
    Bytes frame = EapolFrame(60);
    sim::faults::FailNth("MmMapLockedPagesSpecifyCache", 1);
    nic_.IndicateReceive(frame);
    ExpectCompleted(unmapped, STATUS_INSUFFICIENT_RESOURCES, 0);
    ExpectFrame(served, STATUS_SUCCESS, frame, 60);

    // The miniport's buffers need mapping too: the first when the header is
    // looked at, then the read's, then the second buffer.
    sim::Request partial = Read(file, 100);
    sim::faults::Reset();
    sim::faults::FailNth("MmMapLockedPagesSpecifyCache", 3);
    nic_.IndicatePacket(frame, {.pieces = {14}, .mapped = false});
    ExpectFrame(partial, STATUS_INSUFFICIENT_RESOURCES, frame, 14);

    sim::Request untouched = Read(file, 100);
    sim::faults::Reset();
    sim::faults::FailNth("MmMapLockedPagesSpecifyCache", 1);
    nic_.IndicatePacket(frame, {.mapped = false});
    EXPECT_FALSE(untouched.Completed()) << "a first buffer without an address is dropped";
    Cleanup(file);
}

TEST_F(ReceivePath, AllocationFailuresDropTheFrameAndFreeWhatWasTaken)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 1514);
    const char *points[] = {"NdisAllocatePacket", "pool", "NdisAllocateBuffer"};
    for (const char *point : points) {
        sim::faults::Reset();
        sim::faults::FailAll(point);
        EXPECT_EQ(nic_.IndicateReceive(EapolFrame(60)), std::vector<NDIS_STATUS>{NDIS_STATUS_NOT_ACCEPTED})
            << point;
        EXPECT_EQ(nic_.IndicatePacket(EapolFrame(60), {.resources = true}), std::vector<INT>{0});
        ExpectNothingHeld();
    }
    // The buffer over the part still to be transferred.
    sim::faults::Reset();
    sim::faults::FailNth("NdisAllocateBuffer", 2);
    EXPECT_EQ(nic_.IndicateReceive(EapolFrame(100), {.lookahead = 10}),
              std::vector<NDIS_STATUS>{NDIS_STATUS_NOT_ACCEPTED});
    ExpectNothingHeld();
    EXPECT_FALSE(read.Completed());
    Cleanup(file);
}

// The transfer holds an open reference; an unbind that starts meanwhile
// leaves the last one to the receive path, which drops it at DISPATCH_LEVEL.
// The adapter is then closed at PASSIVE_LEVEL and the unbind completes.
TEST_F(ReceivePath, LastOpenReferenceDroppedByTheReceivePathClosesAtPassiveLevel)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 1514);
    sim::SetHook("NdisTransferData", [this] {
        std::thread unbind([this] { nic_.BeginRemove(); });
        unbind.join();
        EXPECT_EQ(binding_->OpenRefCount, 1);
    });
    Bytes frame = EapolFrame(100, 3);

    EXPECT_EQ(nic_.IndicateReceive(frame, {.lookahead = 10}), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    ExpectFrame(read, STATUS_SUCCESS, frame, 100);
    EXPECT_TRUE(sim::WaitForWorkItems());
    EXPECT_TRUE(nic_.WaitRemoved(sim::kWaitLimit));
    EXPECT_EQ(nic_.LatestUnbind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic_.PacketFilter(), 0u);
    EXPECT_EQ(protocol_->ListedCount(), 0u);
    removed_ = true;
}

}  // namespace
