// Reads and status waits queued on a binding end exactly once, whether the
// client cancels them, its handle is cleaned up, or the adapter goes away;
// the races between those parties are played out at the platform's own
// interleaving points.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bindings/binding.h"
#include "platform/io.h"
#include "relay/queue.h"
#include "sim/hooks.h"
#include "sim/io.h"
#include "sim/irql.h"
#include "tests/support/control_device.h"
#include "tests/support/gate.h"
#include "tests/support/pending_requests.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::QueuedRequestCount;

class PendingQueues : public rztest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        control_.emplace();
        NDIS_STRING name;
        RtlInitUnicodeString(&name, WIDE("\\Device\\{5E6B1C2A-0001}"));
        ASSERT_EQ(RelayAllocateBinding(&binding_, &name, nullptr), NDIS_STATUS_SUCCESS);
    }

    void TearDown() override
    {
        for (const sim::File &file : attached_) {
            rztest::CloseAttachedFile(file);
        }
        if (binding_ != nullptr) {
            EXPECT_EQ(RelayDereferenceBinding(binding_), 0);
        }
        control_.reset();
        SimTest::TearDown();
    }

    sim::File Attach()
    {
        attached_.push_back(rztest::AttachFile(control_->Device(), binding_));
        return attached_.back();
    }

    size_t QueuedTotal() const
    {
        return QueuedRequestCount(binding_->ConnectWaitQueue) +
               QueuedRequestCount(binding_->DisconnectWaitQueue) +
               QueuedRequestCount(binding_->MediaSpecificWaitQueue) +
               QueuedRequestCount(binding_->ReadQueue);
    }

    std::optional<rztest::ControlDevice> control_;
    AdapterBinding *binding_ = nullptr;
    std::vector<sim::File> attached_;
};

void ExpectEnded(const sim::Request &request, NTSTATUS status)
{
    ASSERT_TRUE(request.WaitForCompletion());
    EXPECT_EQ(request.FinalStatus().Status, status);
    EXPECT_EQ(request.FinalStatus().Information, 0u);
    EXPECT_EQ(request.PriorityBoost(), IO_NO_INCREMENT);
}

TEST_F(PendingQueues, RefusesAReadWhoseCancellationCameBeforeIt)
{
    sim::File file = Attach();
    LONG refCount = binding_->RefCount;
    sim::Request read(IRP_MJ_READ, file);
    EXPECT_FALSE(read.Cancel());

    EXPECT_EQ(read.Dispatch(rztest::QueueRead), STATUS_CANCELLED);
    ExpectEnded(read, STATUS_CANCELLED);
    EXPECT_FALSE(read.CompletedMarkedPending());
    EXPECT_EQ(binding_->RefCount, refCount);
    EXPECT_EQ(QueuedTotal(), 0u);
}

// The client's cancellation has set Cancel but not yet reached the cancel
// routine when the read arrives: the read takes its routine back and is refused,
// and the cancellation then finds nothing to call.
TEST_F(PendingQueues, RefusesAReadWhoseCancellationIsUnderWay)
{
    sim::File file = Attach();
    LONG refCount = binding_->RefCount;
    sim::Request read(IRP_MJ_READ, file);
    rztest::Gate cancelSet;
    rztest::Gate resume;
    sim::SetHook("IoCancelIrp.cancel-set", [&] {
        cancelSet.Open();
        resume.Wait();
    });
    std::thread client([&] { EXPECT_FALSE(read.Cancel()); });
    ASSERT_TRUE(cancelSet.Wait());

    EXPECT_EQ(read.Dispatch(rztest::QueueRead), STATUS_CANCELLED);
    resume.Open();
    client.join();
    ExpectEnded(read, STATUS_CANCELLED);
    EXPECT_FALSE(read.CompletedMarkedPending());
    EXPECT_EQ(binding_->RefCount, refCount);
}

// The cancellation takes the routine right after the read armed it and before
// the read tests Cancel: the read is queued and returns pending, and its
// cancel routine, waiting for the queue lock, completes it.
TEST_F(PendingQueues, QueuesAReadWhoseRoutineThePlatformTookBeforeItTestedCancel)
{
    sim::File file = Attach();
    LONG refCount = binding_->RefCount;
    sim::Request read(IRP_MJ_READ, file);
    rztest::Gate armed;
    rztest::Gate routineTaken;
    sim::SetHook("IoSetCancelRoutine.set", [&] {
        armed.Open();
        routineTaken.Wait();
    });
    sim::SetHook("IoCancelIrp.routine-taken", [&] { routineTaken.Open(); });
    std::thread reader([&] { EXPECT_EQ(read.Dispatch(rztest::QueueRead), STATUS_PENDING); });
    ASSERT_TRUE(armed.Wait());
    std::thread client([&] { EXPECT_TRUE(read.Cancel()); });
    reader.join();
    client.join();

    ExpectEnded(read, STATUS_CANCELLED);
    EXPECT_TRUE(read.CompletedMarkedPending());
    EXPECT_EQ(binding_->RefCount, refCount);
    EXPECT_EQ(QueuedTotal(), 0u);
}

TEST_F(PendingQueues, EachCancelRoutineTakesItsRequestOffItsOwnQueue)
{
    sim::File file = Attach();
    LONG refCount = binding_->RefCount;
    const PDRIVER_DISPATCH kinds[] = {rztest::QueueConnectWait, rztest::QueueDisconnectWait,
                                      rztest::QueueMediaSpecificWait, rztest::QueueRead};
    for (PDRIVER_DISPATCH queue : kinds) {
        sim::Request request = rztest::NewPendingRequest(file, queue);
        EXPECT_EQ(request.Dispatch(queue), STATUS_PENDING);
        EXPECT_EQ(QueuedTotal(), 1u);
        EXPECT_EQ(binding_->RefCount, refCount + 1);
        EXPECT_TRUE(request.Cancel());
        ExpectEnded(request, STATUS_CANCELLED);
        EXPECT_EQ(QueuedTotal(), 0u);
        EXPECT_EQ(binding_->RefCount, refCount);
    }
}

// The unbind's flush meets a read whose cancellation has taken the routine:
// it leaves that read to the cancel routine and flushes the rest.
TEST_F(PendingQueues, ACollectorLeavesAReadBeingCancelled)
{
    sim::File file = Attach();
    LONG refCount = binding_->RefCount;
    sim::Request cancelled = sim::SendRequest(IRP_MJ_READ, file, rztest::QueueRead);
    sim::Request flushed = sim::SendRequest(IRP_MJ_READ, file, rztest::QueueRead);
    rztest::Gate routineTaken;
    rztest::Gate resume;
    sim::SetHook("IoCancelIrp.routine-taken", [&] {
        routineTaken.Open();
        resume.Wait();
    });
    std::thread client([&] { EXPECT_TRUE(cancelled.Cancel()); });
    ASSERT_TRUE(routineTaken.Wait());

    RelayFlushBindingRequests(binding_, STATUS_DEVICE_REMOVED);
    ExpectEnded(flushed, STATUS_DEVICE_REMOVED);
    EXPECT_FALSE(cancelled.Completed());
    EXPECT_EQ(QueuedRequestCount(binding_->ReadQueue), 1u);

    resume.Open();
    client.join();
    ExpectEnded(cancelled, STATUS_CANCELLED);
    EXPECT_EQ(binding_->RefCount, refCount);
    EXPECT_EQ(QueuedTotal(), 0u);
}

TEST_F(PendingQueues, CleanupCancelsOnlyItsFilesRequestsWaitsFirstThenReadsOldestFirst)
{
    sim::File mine = Attach();
    sim::File other = Attach();
    LONG refCount = binding_->RefCount;
    std::vector<std::string> order;
    auto send = [&](const sim::File &file, PDRIVER_DISPATCH queue, const std::string &name) {
        sim::Request request = rztest::NewPendingRequest(file, queue);
        request.OnCompletion([&order, name](PIRP) { order.push_back(name); });
        EXPECT_EQ(request.Dispatch(queue), STATUS_PENDING);
        return request;
    };
    std::vector<sim::Request> requests = {
        send(mine, rztest::QueueRead, "read 1"),
        send(mine, rztest::QueueMediaSpecificWait, "media-specific"),
        send(other, rztest::QueueConnectWait, "other connect"),
        send(mine, rztest::QueueConnectWait, "connect"),
        send(mine, rztest::QueueRead, "read 2"),
        send(other, rztest::QueueRead, "other read"),
        send(mine, rztest::QueueDisconnectWait, "disconnect"),
    };

    sim::Request cleanup = sim::SendRequest(IRP_MJ_CLEANUP, mine, RelayDispatchCleanup);
    EXPECT_EQ(cleanup.DispatchStatus(), STATUS_SUCCESS);
    ExpectEnded(cleanup, STATUS_SUCCESS);
    EXPECT_EQ(order, (std::vector<std::string>{"connect", "disconnect", "media-specific", "read 1",
                                               "read 2"}));
    for (size_t mineIndex : {0, 1, 3, 4, 6}) {
        ExpectEnded(requests[mineIndex], STATUS_CANCELLED);
    }
    EXPECT_FALSE(requests[2].Completed());
    EXPECT_FALSE(requests[5].Completed());
    EXPECT_EQ(QueuedTotal(), 2u);
    EXPECT_EQ(binding_->RefCount, refCount + 2);
    EXPECT_EQ(mine.Object()->FsContext, binding_);

    order.clear();
    RelayFlushBindingRequests(binding_, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(order, (std::vector<std::string>{"other connect", "other read"}));
    ExpectEnded(requests[2], STATUS_DEVICE_REMOVED);
    ExpectEnded(requests[5], STATUS_DEVICE_REMOVED);
    EXPECT_EQ(binding_->RefCount, refCount);
    EXPECT_EQ(QueuedTotal(), 0u);
}

TEST_F(PendingQueues, CleanupOfAFileNeverAttachedTouchesNoQueue)
{
    sim::File attached = Attach();
    sim::Request read = sim::SendRequest(IRP_MJ_READ, attached, rztest::QueueRead);
    sim::File neverAttached(control_->Device());
    uint64_t acquisitions = sim::SpinLockAcquisitions();

    sim::Request cleanup = sim::SendRequest(IRP_MJ_CLEANUP, neverAttached, RelayDispatchCleanup);
    EXPECT_EQ(cleanup.DispatchStatus(), STATUS_SUCCESS);
    ExpectEnded(cleanup, STATUS_SUCCESS);
    EXPECT_EQ(sim::SpinLockAcquisitions(), acquisitions);
    EXPECT_FALSE(read.Completed());

    RelayFlushBindingRequests(binding_, STATUS_DEVICE_REMOVED);
    ExpectEnded(read, STATUS_DEVICE_REMOVED);
}

// The binding outlives its queued requests' references only as long as
// someone else holds one: the last reference may be a cancelled request's.
TEST_F(PendingQueues, ACancelRoutineMayDropTheBindingsLastReference)
{
    sim::File file = Attach();
    sim::Request read = sim::SendRequest(IRP_MJ_READ, file, rztest::QueueRead);
    rztest::CloseAttachedFile(file);
    attached_.clear();
    EXPECT_EQ(RelayDereferenceBinding(binding_), 1);
    binding_ = nullptr;

    EXPECT_TRUE(read.Cancel());
    ExpectEnded(read, STATUS_CANCELLED);
}

}  // namespace
