// Read requests: refused in the order handle, state, length, or queued until
// a frame, a cancellation or the cleanup of their handle ends them.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "sim/hooks.h"
#include "tests/support/gate.h"
#include "tests/support/relay_traffic.h"

namespace {

using rztest::ExpectCompleted;

class Reads : public rztest::RelayTraffic {};

TEST_F(Reads, RefusedInOrderHandleThenFlagsThenLength)
{
    sim::Request unattached = Read(Unattached(), 13);
    EXPECT_EQ(unattached.DispatchStatus(), STATUS_INVALID_HANDLE);
    ExpectCompleted(unattached, STATUS_INVALID_HANDLE, 0);

    sim::File file = Attach();
    LONG references = binding_->RefCount;
    ExpectCompleted(Read(file, 13), STATUS_INVALID_BUFFER_SIZE, 0);
    InterlockedOr(&binding_->Flags, BINDING_UNLOADING);
    ExpectCompleted(Read(file, 13), STATUS_INVALID_DEVICE_STATE, 0);
    InterlockedAnd(&binding_->Flags, ~BINDING_UNLOADING);
    EXPECT_EQ(binding_->RefCount, references);

    // Reads ignore the power state.
    InterlockedExchange(&binding_->PowerState, NdisDeviceStateD3);
    sim::Request queued = Read(file, 14);
    EXPECT_EQ(queued.DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(binding_->RefCount, references + 1);
    InterlockedExchange(&binding_->PowerState, NdisDeviceStateD0);
    Cleanup(file);
    ExpectCompleted(queued, STATUS_CANCELLED, 0);
    EXPECT_EQ(binding_->RefCount, references);
}

TEST_F(Reads, CancelEndsOneReadAndCleanupOnlyItsOwnFilesReads)
{
    sim::File one = Attach();
    sim::File other = Attach();
    sim::Request cancelled = Read(one, 100);
    sim::Request cleaned = Read(one, 100);
    sim::Request kept = Read(other, 100);

    EXPECT_TRUE(cancelled.Cancel());
    ExpectCompleted(cancelled, STATUS_CANCELLED, 0);
    EXPECT_EQ(Cleanup(one), STATUS_SUCCESS);
    ExpectCompleted(cleaned, STATUS_CANCELLED, 0);
    EXPECT_FALSE(kept.Completed());

    rztest::Bytes frame = rztest::EapolFrame(60);
    nic_.IndicateReceive(frame);
    ExpectCompleted(kept, STATUS_SUCCESS, 60);
}

TEST_F(Reads, ReadsStillQueuedWhenTheAdapterGoesAwayEndAsRemoved)
{
    sim::File file = Attach();
    sim::Request read = Read(file, 100);
    EXPECT_TRUE(RemoveAdapter());
    ExpectCompleted(read, STATUS_DEVICE_REMOVED, 0);
    ExpectCompleted(Read(file, 100), STATUS_INVALID_DEVICE_STATE, 0);
}

// The read passed the state test just before the unbind and reaches its
// queue's lock only after the unbind flushed the queue: it ends as the flush
// would have ended it, not pending on a binding that is gone.
TEST_F(Reads, AReadThatReachesItsQueueAfterTheUnbindFlushedItEndsAsRemoved)
{
    sim::File file = Attach();
    rztest::Gate atQueueLock;
    rztest::Gate resume;
    std::optional<sim::Request> read;
    std::thread reader([&] {
        rztest::StopThisThreadAt("KfAcquireSpinLock", atQueueLock, resume);
        read = Read(file, 100);
    });
    ASSERT_TRUE(atQueueLock.Wait());
    EXPECT_TRUE(RemoveAdapter());
    resume.Open();
    reader.join();
    sim::ClearHooks();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->DispatchStatus(), STATUS_DEVICE_REMOVED);
    ExpectCompleted(*read, STATUS_DEVICE_REMOVED, 0);
}

}  // namespace
