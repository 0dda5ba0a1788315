// OID queries and sets from a client: the order of the tests that refuse
// them, what the adapter is offered, what comes back to the caller, and an
// unbind that meets a query blocked in the adapter.
#include <gtest/gtest.h>

#include <thread>

#include "control/relay_ioctl.h"
#include "sim/irql.h"
#include "tests/support/control_fixture.h"

namespace {

using rztest::Bytes;
using rztest::ControlClient;
using rztest::ValueOf;

class Oid : public rztest::ControlTest {
protected:
    // Requests the adapter has seen since the bind's own set-up.
    size_t AdapterRequestCount() { return Nic().Requests().size(); }

    void ExpectRefused(const sim::ControlRequest &request, NTSTATUS status)
    {
        EXPECT_EQ(request.FinalStatus().Status, status);
        EXPECT_EQ(request.FinalStatus().Information, 0u);
        EXPECT_TRUE(request.Returned().empty());
    }
};

constexpr ULONG kQuery = IOCTL_RELAY_QUERY_OID;
constexpr ULONG kSet = IOCTL_RELAY_SET_OID;

TEST_F(Oid, TestsRunInOrderHandlePowerFlagsLength)
{
    size_t seen = AdapterRequestCount();
    for (ULONG code : {kQuery, kSet}) {
        ControlClient &unattached = NewClient();
        ExpectRefused(unattached.Send(code, {1, 2}, 4), STATUS_INVALID_HANDLE);

        ControlClient &client = AttachedClient();
        SetPower(Nic(), NdisDeviceStateD3);
        Nic().IndicateStatus(NDIS_STATUS_RESET_START);
        ExpectRefused(client.Send(code, {1, 2}, 4), STATUS_DEVICE_POWER_FAILURE);

        SetPower(Nic(), NdisDeviceStateD0);
        ExpectRefused(client.Send(code, {1, 2}, 4), STATUS_INVALID_DEVICE_STATE);

        Nic().IndicateStatus(NDIS_STATUS_RESET_END);
        ExpectRefused(client.Send(code, {1, 2, 3}, 4), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(AdapterRequestCount(), seen);
    EXPECT_EQ(Binding()->OpenRefCount, 1);
}

TEST_F(Oid, AQueryReturnsWhatTheAdapterWroteOverTheOid)
{
    ControlClient &client = AttachedClient();
    sim::ControlRequest query = client.Query(OID_802_3_CURRENT_ADDRESS, 16);
    EXPECT_EQ(query.FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(query.FinalStatus().Information, 6u);
    sim::AdapterConfig nic;
    EXPECT_EQ(query.Returned(), std::vector<uint8_t>(nic.stationAddress.begin(), nic.stationAddress.end()));
    EXPECT_EQ(Nic().Requests().back().length, 16u);
    EXPECT_EQ(Nic().Requests().back().oid, static_cast<NDIS_OID>(OID_802_3_CURRENT_ADDRESS));
}

TEST_F(Oid, AnEmptyOutputIsStillOfferedToTheAdapterAndItsFailureCarriesNoBytes)
{
    ControlClient &client = AttachedClient();
    sim::ControlRequest tooShort = client.Query(OID_GEN_MAC_OPTIONS, 0);
    ExpectRefused(tooShort, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Nic().Requests().back().oid, static_cast<NDIS_OID>(OID_GEN_MAC_OPTIONS));
    EXPECT_EQ(Nic().Requests().back().length, 0u);
}

// A failure reports no bytes, whatever the adapter said it wrote or needs.
TEST_F(Oid, AdapterFailuresAreTranslatedAndCarryInformation0)
{
    ControlClient &client = AttachedClient();
    sim::OidScript failing;
    failing.bytes = 4;
    failing.bytesNeeded = 64;
    for (auto [ndis, nt] : {std::pair{NDIS_STATUS_INVALID_OID, STATUS_NOT_SUPPORTED},
                            std::pair{NDIS_STATUS_INVALID_LENGTH, STATUS_INVALID_BUFFER_SIZE},
                            std::pair{NDIS_STATUS_CLOSING, static_cast<NTSTATUS>(0xC0230002)}}) {
        failing.status = ndis;
        Nic().ScriptOid(0x00FF0002, failing);
        ExpectRefused(client.Query(0x00FF0002, 8), nt);
        ExpectRefused(client.Set(0x00FF0002, Bytes(7u), 8), nt);
    }
}

TEST_F(Oid, ASetOfExactlyFourBytesSendsAnEmptyValue)
{
    ControlClient &client = AttachedClient();
    Nic().ScriptOid(0x00FF0003, sim::OidScript{});
    sim::ControlRequest set = client.Send(kSet, Bytes(0x00FF0003u));
    EXPECT_EQ(set.FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(Nic().Requests().back().type, NdisRequestSetInformation);
    EXPECT_EQ(Nic().Requests().back().length, 0u);
}

// A set reports what the adapter read, which says nothing about the output
// the caller offered: the count goes back cut to that output, and with no
// output nothing goes back.
TEST_F(Oid, ASetReportsNoMoreThanTheOutputItWasOffered)
{
    ControlClient &client = AttachedClient();
    const ULONG filter = OID_GEN_CURRENT_PACKET_FILTER;
    sim::ControlRequest roomy = client.Set(filter, Bytes(NDIS_PACKET_TYPE_BROADCAST), 16);
    EXPECT_EQ(roomy.FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(Nic().PacketFilter(), static_cast<ULONG>(NDIS_PACKET_TYPE_BROADCAST));
    EXPECT_EQ(Nic().Requests().back().length, 4u);
    EXPECT_EQ(roomy.FinalStatus().Information, 4u);
    EXPECT_EQ(ValueOf(roomy.Returned()), filter);

    sim::ControlRequest shorter = client.Set(filter, Bytes(NDIS_PACKET_TYPE_DIRECTED), 2);
    EXPECT_EQ(shorter.FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(shorter.FinalStatus().Information, 2u);
    EXPECT_EQ(shorter.Returned().size(), 2u);

    sim::ControlRequest none = client.Set(filter, Bytes(NDIS_PACKET_TYPE_DIRECTED), 0);
    EXPECT_EQ(none.FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(none.FinalStatus().Information, 0u);

}

// An adapter that overstates its count gets no further than the output
// length, and what it never wrote comes back as zeros, never as whatever the
// system buffer held beyond the caller's input.
TEST_F(Oid, AnOverstatedCountReturnsZerosBeyondTheInput)
{
    ControlClient &client = AttachedClient();
    sim::OidScript overstated;
    overstated.data = std::vector<uint8_t>{1, 2};
    overstated.bytes = 200;
    Nic().ScriptOid(0x00FF0004, overstated);
    sim::ControlRequest query = client.Query(0x00FF0004, 8);
    EXPECT_EQ(query.FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(query.FinalStatus().Information, 8u);
    // The answer over the OID's first two bytes, the OID's other two, zeros.
    EXPECT_EQ(query.Returned(), (std::vector<uint8_t>{1, 2, 0xFF, 0x00, 0, 0, 0, 0}));

    sim::OidScript overread;
    overread.bytes = 200;
    Nic().ScriptOid(0x00FF0005, overread);
    sim::ControlRequest set = client.Set(0x00FF0005, {7}, 12);
    EXPECT_EQ(set.FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(set.FinalStatus().Information, 12u);
    EXPECT_EQ(set.Returned(), (std::vector<uint8_t>{0x05, 0x00, 0xFF, 0x00, 7, 0, 0, 0, 0, 0, 0, 0}));
}

// An adapter that completes a request with NDIS_STATUS_PENDING gave no
// final status: the request failed, and the caller gets its answer at once
// rather than a request left neither completed nor pending.
TEST_F(Oid, ACompletionWithoutAFinalStatusFailsTheRequest)
{
    ControlClient &client = AttachedClient();
    Nic().ScriptOid(0x00FF0006, sim::OidScript::Fail(NDIS_STATUS_PENDING).Pend());
    for (ULONG code : {kQuery, kSet}) {
        std::optional<sim::ControlRequest> request;
        std::thread caller([&] { request = client.Send(code, Bytes(0x00FF0006u), 4); });
        ASSERT_TRUE(Nic().WaitForPendedRequests(1, sim::kWaitLimit));
        EXPECT_TRUE(Nic().CompletePendedRequest());
        caller.join();
        ExpectRefused(*request, STATUS_UNSUCCESSFUL);
    }
}

// The query holds the adapter open: the unbind returns pending at once, and
// the close and the unbind's completion come when the query returns.
TEST_F(Oid, AnUnbindWaitsForAQueryBlockedInTheAdapter)
{
    ControlClient &client = AttachedClient();
    sim::OidScript pended;
    pended.completion = sim::Completion::Pended;
    pended.data = Bytes(0x12345678u);
    Nic().ScriptOid(0x00FF0005, pended);

    std::optional<sim::ControlRequest> query;
    std::thread caller([&] { query = client.Query(0x00FF0005, 4); });
    ASSERT_TRUE(Nic().WaitForPendedRequests(1, sim::kWaitLimit));

    Nic().BeginRemove();
    EXPECT_EQ(Nic().LatestUnbind().handlerStatus, NDIS_STATUS_PENDING);
    EXPECT_FALSE(Nic().LatestUnbind().completed);
    EXPECT_EQ(Nic().OpenCount(), 1u);
    EXPECT_EQ(Nic().LatestOpenState(), sim::OpenState::Open);

    EXPECT_TRUE(Nic().CompletePendedRequest());
    caller.join();
    EXPECT_EQ(query->FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(ValueOf(query->Returned()), 0x12345678u);
    EXPECT_TRUE(Nic().WaitRemoved(sim::kWaitLimit));
    EXPECT_EQ(Nic().LatestUnbind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Nic().OpenCount(), 0u);
    EXPECT_EQ(Nic().Requests().back().oid, static_cast<NDIS_OID>(OID_GEN_CURRENT_PACKET_FILTER));

    ExpectRefused(client.Query(OID_GEN_MAC_OPTIONS, 4), STATUS_INVALID_DEVICE_STATE);
}

}  // namespace
