// Waits for media indications: which requests queue, and how an indication
// answers the waiters of its own queue, each with its own copy of the status
// buffer cut to its output length.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "control/device_control.h"
#include "control/relay_ioctl.h"
#include "sim/hooks.h"
#include "tests/support/control_fixture.h"
#include "tests/support/gate.h"

namespace {

using rztest::Bytes;
using rztest::ControlClient;

class Wait : public rztest::ControlTest {};

void ExpectAnswered(const sim::ControlRequest &wait, NTSTATUS status, const std::vector<uint8_t> &bytes)
{
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(wait.FinalStatus().Status, status);
    EXPECT_EQ(wait.FinalStatus().Information, bytes.size());
    EXPECT_EQ(wait.Returned(), bytes);
}

TEST_F(Wait, TheThreeMediaStatusesQueueAndNothingElseDoes)
{
    ControlClient &client = AttachedClient();
    LONG before = Binding()->RefCount;
    for (NDIS_STATUS status : {NDIS_STATUS_MEDIA_CONNECT, NDIS_STATUS_MEDIA_DISCONNECT,
                               NDIS_STATUS_MEDIA_SPECIFIC_INDICATION}) {
        sim::ControlRequest wait = client.Wait(status, 8);
        EXPECT_EQ(wait.DispatchStatus(), STATUS_PENDING);
        EXPECT_FALSE(wait.Completed());
    }
    EXPECT_EQ(Binding()->RefCount, before + 3);

    for (NDIS_STATUS status : {NDIS_STATUS_RESET_START, NDIS_STATUS_RESET_END, NDIS_STATUS_SUCCESS,
                               static_cast<NDIS_STATUS>(0x4001000D)}) {
        sim::ControlRequest refused = client.Wait(status, 8);
        EXPECT_EQ(refused.FinalStatus().Status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(refused.FinalStatus().Information, 0u);
    }
    EXPECT_EQ(client.Send(IOCTL_RELAY_WAIT_STATUS, {0x0B, 0x00, 0x01}, 8).FinalStatus().Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NewClient().Wait(NDIS_STATUS_MEDIA_CONNECT, 8).FinalStatus().Status, STATUS_INVALID_HANDLE);

    Nic().IndicateStatus(NDIS_STATUS_RESET_START);
    EXPECT_EQ(client.Wait(NDIS_STATUS_MEDIA_CONNECT, 8).FinalStatus().Status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Binding()->RefCount, before + 3);
}

TEST_F(Wait, AWaitIsAcceptedInLowPower)
{
    ControlClient &client = AttachedClient();
    SetPower(Nic(), NdisDeviceStateD3);
    sim::ControlRequest wait = client.Wait(NDIS_STATUS_MEDIA_CONNECT, 4);
    EXPECT_EQ(wait.DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(Binding()->OpenRefCount, 1);
    Nic().IndicateStatus(NDIS_STATUS_MEDIA_CONNECT, {1, 2, 3, 4});
    ExpectAnswered(wait, STATUS_SUCCESS, {1, 2, 3, 4});
}

TEST_F(Wait, AWaitCancelledBeforeItIsQueuedCompletesAtOnce)
{
    ControlClient &client = AttachedClient();
    LONG before = Binding()->RefCount;
    sim::ControlRequest wait = client.Build(IOCTL_RELAY_WAIT_STATUS, Bytes(NDIS_STATUS_MEDIA_CONNECT), 8);
    EXPECT_FALSE(wait.Cancel());
    EXPECT_EQ(wait.Dispatch(RelayDispatchDeviceControl), STATUS_CANCELLED);
    EXPECT_EQ(wait.FinalStatus().Status, STATUS_CANCELLED);
    EXPECT_EQ(wait.FinalStatus().Information, 0u);
    EXPECT_FALSE(wait.CompletedMarkedPending());
    EXPECT_EQ(Binding()->RefCount, before);
}

// The wait passed the state test just before the unbind and reaches its
// queue's lock only after the unbind flushed the queue: it ends as the flush
// would have ended it, not pending on a binding that is gone.
TEST_F(Wait, AWaitThatReachesItsQueueAfterTheUnbindFlushedItEndsAsRemoved)
{
    ControlClient &client = AttachedClient();
    rztest::Gate atQueueLock;
    rztest::Gate resume;
    std::optional<sim::ControlRequest> wait;
    std::thread waiter([&] {
        rztest::StopThisThreadAt("KfAcquireSpinLock", atQueueLock, resume);
        wait = client.Wait(NDIS_STATUS_MEDIA_DISCONNECT, 4);
    });
    ASSERT_TRUE(atQueueLock.Wait());
    EXPECT_TRUE(Nic().Remove(sim::kWaitLimit));
    resume.Open();
    waiter.join();
    sim::ClearHooks();
    ASSERT_TRUE(wait);
    EXPECT_EQ(wait->DispatchStatus(), STATUS_DEVICE_REMOVED);
    ASSERT_TRUE(wait->WaitForCompletion());
    EXPECT_EQ(wait->FinalStatus().Status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(wait->FinalStatus().Information, 0u);
}

TEST_F(Wait, AnIndicationAnswersEveryWaiterOfItsQueueEachCutToItsOutput)
{
    ControlClient &first = AttachedClient();
    ControlClient &second = AttachedClient();
    LONG before = Binding()->RefCount;
    sim::ControlRequest roomy = first.Wait(NDIS_STATUS_MEDIA_CONNECT, 16);
    sim::ControlRequest exact = second.Wait(NDIS_STATUS_MEDIA_CONNECT, 4);
    sim::ControlRequest cut = first.Wait(NDIS_STATUS_MEDIA_CONNECT, 3);
    sim::ControlRequest none = second.Wait(NDIS_STATUS_MEDIA_CONNECT, 0);
    sim::ControlRequest disconnect = first.Wait(NDIS_STATUS_MEDIA_DISCONNECT, 16);
    sim::ControlRequest specific = second.Wait(NDIS_STATUS_MEDIA_SPECIFIC_INDICATION, 16);

    Nic().IndicateStatus(NDIS_STATUS_MEDIA_CONNECT, {0xA, 0xB, 0xC, 0xD});
    ExpectAnswered(roomy, STATUS_SUCCESS, {0xA, 0xB, 0xC, 0xD});
    ExpectAnswered(exact, STATUS_SUCCESS, {0xA, 0xB, 0xC, 0xD});
    ExpectAnswered(cut, STATUS_BUFFER_OVERFLOW, {0xA, 0xB, 0xC});
    ExpectAnswered(none, STATUS_BUFFER_OVERFLOW, {});
    EXPECT_FALSE(disconnect.Completed());
    EXPECT_FALSE(specific.Completed());
    EXPECT_EQ(Binding()->RefCount, before + 2);

    Nic().IndicateStatus(NDIS_STATUS_MEDIA_DISCONNECT);
    ExpectAnswered(disconnect, STATUS_SUCCESS, {});
    EXPECT_FALSE(specific.Completed());
    Nic().IndicateStatus(NDIS_STATUS_MEDIA_SPECIFIC_INDICATION, std::vector<uint8_t>(40, 0x5A));
    ExpectAnswered(specific, STATUS_BUFFER_OVERFLOW, std::vector<uint8_t>(16, 0x5A));
    EXPECT_EQ(Binding()->RefCount, before);
}

TEST_F(Wait, AnIndicationWithNoWaiterIsNotRemembered)
{
    ControlClient &client = AttachedClient();
    Nic().IndicateStatus(NDIS_STATUS_MEDIA_CONNECT, {1});
    sim::ControlRequest wait = client.Wait(NDIS_STATUS_MEDIA_CONNECT, 4);
    EXPECT_FALSE(wait.Completed());
    Nic().IndicateStatus(NDIS_STATUS_MEDIA_CONNECT, {2});
    ExpectAnswered(wait, STATUS_SUCCESS, {2});

    // One indication answers one wait: the next must be asked for anew.
    sim::ControlRequest again = client.Wait(NDIS_STATUS_MEDIA_CONNECT, 4);
    EXPECT_FALSE(again.Completed());
    client.Cleanup();
    EXPECT_EQ(again.FinalStatus().Status, STATUS_CANCELLED);
}

}  // namespace
