// The adapter's power as the stack changes it, with the whole driver loaded:
// below D0 NDIS holds the requests and sends that reached the adapter, hands
// them over back at D0 and fails them when the adapter is removed, and the
// driver can still be stopped.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "control/relay_ioctl.h"
#include "sim/hooks.h"
#include "tests/support/control_client.h"
#include "tests/support/gate.h"
#include "tests/support/loaded_driver.h"

namespace {

using Frame = std::vector<uint8_t>;
using rztest::FinalStatusOf;

// NDIS_STATUS_ADAPTER_REMOVED as the driver translates it.
constexpr NTSTATUS kRemoved = static_cast<NTSTATUS>(0xC0230018);

Frame EapolFrame(size_t length)
{
    Frame frame(length, 0x5A);
    frame[12] = 0x88;
    frame[13] = 0x8E;
    return frame;
}

class Power : public rztest::LoadedDriverTest {
protected:
    void SetUp() override
    {
        rztest::LoadedDriverTest::SetUp();
        nic_ = AddAdapter(u"\\Device\\{NIC}");
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        client_ = AttachedHandle(*nic_);
    }

    // A write and a query that passed the driver's power test when the
    // adapter went to D3, and reached it after: both held.
    void HoldAWriteAndAQuery()
    {
        rztest::Gate writeThere;
        rztest::Gate queryThere;
        rztest::Gate poweredDown;
        sim::SetHook("NdisAllocatePacket", [&] {
            writeThere.Open();
            poweredDown.Wait();
        });
        sim::SetHook("NdisRequest", [&] {
            queryThere.Open();
            poweredDown.Wait();
        });
        std::thread writer([this] { write_ = client_.Write(EapolFrame(60)); });
        query_ = std::thread([this] {
            query = client_.Control(IOCTL_RELAY_QUERY_OID, rztest::Bytes(OID_GEN_MAC_OPTIONS), 4);
        });
        ASSERT_TRUE(writeThere.Wait());
        ASSERT_TRUE(queryThere.Wait());
        EXPECT_EQ(nic_->SetPower(NdisDeviceStateD3), NDIS_STATUS_SUCCESS);
        rztest::Gate queryPended;
        sim::SetHook("NdisWaitEvent", [&] { queryPended.Open(); });
        poweredDown.Open();
        writer.join();
        ASSERT_TRUE(queryPended.Wait());
        EXPECT_EQ(write_->DispatchStatus(), STATUS_PENDING);
        EXPECT_FALSE(write_->Completed());
        EXPECT_TRUE(nic_->SentFrames().empty());
        EXPECT_EQ(nic_->Requests().back().oid, static_cast<NDIS_OID>(OID_GEN_MAC_OPTIONS));
        EXPECT_EQ(nic_->Requests().back().status, NDIS_STATUS_PENDING);
    }

    // The query's caller, once its request returned.
    void QueryReturned() { query_.join(); }

    std::optional<sim::Adapter> nic_;
    sim::ClientHandle client_;
    std::optional<sim::Request> write_;
    std::optional<sim::ControlRequest> query;

private:
    std::thread query_;
};

TEST_F(Power, BackAtD0TheHeldWriteAndQueryGoToTheAdapter)
{
    HoldAWriteAndAQuery();
    EXPECT_EQ(nic_->SetPower(NdisDeviceStateD0), NDIS_STATUS_SUCCESS);
    QueryReturned();
    EXPECT_EQ(query->FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(rztest::ValueOf(query->Returned()), sim::AdapterConfig{}.macOptions);
    EXPECT_EQ(FinalStatusOf(*write_), STATUS_SUCCESS);
    EXPECT_EQ(nic_->SentFrames(), std::vector<Frame>{EapolFrame(60)});
}

TEST_F(Power, ARemovalBelowD0FailsWhatTheAdapterHeld)
{
    HoldAWriteAndAQuery();
    EXPECT_TRUE(nic_->Remove());
    QueryReturned();
    EXPECT_EQ(query->FinalStatus().Status, kRemoved);
    EXPECT_EQ(query->FinalStatus().Information, 0u);
    EXPECT_EQ(FinalStatusOf(*write_), kRemoved);
    EXPECT_EQ(write_->FinalStatus().Information, 60u);
    EXPECT_TRUE(nic_->SentFrames().empty());
    EXPECT_EQ(nic_->LatestUnbind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic_->OpenCount(), 0u);
}

// The stack unbinds an adapter it keeps at D3 when the driver stops: the
// close goes on without waiting for the adapter to come back.
TEST_F(Power, TheDriverStopsWhileTheAdapterIsAtD3)
{
    EXPECT_EQ(nic_->SetPower(NdisDeviceStateD3), NDIS_STATUS_SUCCESS);
    client_.Close();
    rztest::Gate stopped;
    std::thread stopper([&] {
        EXPECT_TRUE(Stop());
        stopped.Open();
    });
    if (!stopped.Wait()) {
        nic_->SetPower(NdisDeviceStateD0);  // lets the stop end, so that the test does
    }
    stopper.join();
    EXPECT_EQ(nic_->LatestUnbind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic_->OpenCount(), 0u);
}

}  // namespace
