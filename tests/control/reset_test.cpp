// The adapter's reset as the status handler follows it: a flag, not a
// counter, that holds off every new request on the binding while it is set.
#include <gtest/gtest.h>

#include "control/relay_ioctl.h"
#include "tests/support/control_fixture.h"

namespace {

using rztest::Bytes;
using rztest::ControlClient;

class Reset : public rztest::ControlTest {
protected:
    LONG Flags() { return Binding()->Flags; }
};

TEST_F(Reset, StartSetsTheFlagAndEndClearsIt)
{
    Nic().IndicateStatus(NDIS_STATUS_RESET_END);
    EXPECT_EQ(Flags(), 0);
    Nic().IndicateStatus(NDIS_STATUS_RESET_START);
    EXPECT_EQ(Flags(), BINDING_RESET_IN_PROGRESS);
    Nic().IndicateStatus(NDIS_STATUS_RESET_START);
    EXPECT_EQ(Flags(), BINDING_RESET_IN_PROGRESS);
    Nic().IndicateStatus(NDIS_STATUS_RESET_END);
    EXPECT_EQ(Flags(), 0);
}

TEST_F(Reset, TheEndClearsOnlyTheResetFlag)
{
    sim::NotifyProtocolUnload(Relay().Handle());
    Nic().IndicateStatus(NDIS_STATUS_RESET_START);
    EXPECT_EQ(Flags(), BINDING_RESET_IN_PROGRESS | BINDING_UNLOADING);
    Nic().IndicateStatus(NDIS_STATUS_RESET_END);
    EXPECT_EQ(Flags(), BINDING_UNLOADING);
}

TEST_F(Reset, NewRequestsOfEveryKindFailWhileTheAdapterResets)
{
    ControlClient &client = AttachedClient();
    Nic().IndicateStatus(NDIS_STATUS_RESET_START);
    for (const sim::ControlRequest &request :
         {NewClient().Attach(Nic().Name()), client.Query(OID_GEN_MAC_OPTIONS, 4),
          client.Set(OID_GEN_CURRENT_PACKET_FILTER, Bytes(NDIS_PACKET_TYPE_DIRECTED)),
          client.Wait(NDIS_STATUS_MEDIA_CONNECT, 4)}) {
        EXPECT_EQ(request.FinalStatus().Status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(request.FinalStatus().Information, 0u);
    }
    Nic().IndicateStatus(NDIS_STATUS_RESET_END);
    EXPECT_EQ(client.Query(OID_GEN_MAC_OPTIONS, 4).FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(client.Wait(NDIS_STATUS_MEDIA_CONNECT, 4).DispatchStatus(), STATUS_PENDING);
}

TEST_F(Reset, AMediaIndicationDuringAResetStillAnswersItsWaiters)
{
    ControlClient &client = AttachedClient();
    sim::ControlRequest wait = client.Wait(NDIS_STATUS_MEDIA_DISCONNECT, 4);
    Nic().IndicateStatus(NDIS_STATUS_RESET_START);
    EXPECT_FALSE(wait.Completed());
    Nic().IndicateStatus(NDIS_STATUS_MEDIA_DISCONNECT, {9});
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(wait.FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(wait.Returned(), std::vector<uint8_t>{9});
}

TEST_F(Reset, UnlistedStatusesChangeNothing)
{
    ControlClient &client = AttachedClient();
    sim::ControlRequest connect = client.Wait(NDIS_STATUS_MEDIA_CONNECT, 4);
    sim::ControlRequest disconnect = client.Wait(NDIS_STATUS_MEDIA_DISCONNECT, 4);
    sim::ControlRequest specific = client.Wait(NDIS_STATUS_MEDIA_SPECIFIC_INDICATION, 4);
    for (NDIS_STATUS status : {NDIS_STATUS_SUCCESS, NDIS_STATUS_CLOSING, NDIS_STATUS_FAILURE,
                               static_cast<NDIS_STATUS>(0x40010006), static_cast<NDIS_STATUS>(0x40010001),
                               NDIS_STATUS_MEDIA_CONNECT | 0x10000000}) {
        Nic().IndicateStatus(status, {1, 2, 3, 4});
    }
    EXPECT_EQ(Flags(), 0);
    EXPECT_FALSE(connect.Completed());
    EXPECT_FALSE(disconnect.Completed());
    EXPECT_FALSE(specific.Completed());
}

}  // namespace
