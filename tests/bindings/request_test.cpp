// RelayDoRequest: one blocking request whether the adapter answers at once
// or later from another thread, with the adapter's own failures passed on.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>

#include "bindings/binding.h"
#include "bindings/request.h"
#include "sim/faults.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "tests/support/request_bench.h"
#include "tests/support/sim_test.h"

namespace {

using namespace std::chrono_literals;
using rztest::HasRule;

constexpr UINT kUntouched = 0xAAAA;

class AdapterRequests : public rztest::SimTest {};

// The adapter answers a pended request from its own thread once it is pended.
std::thread CompleteFromAnotherThread(sim::Adapter adapter)
{
    return std::thread([adapter]() mutable {
        ASSERT_TRUE(adapter.WaitForPendedRequests(1, 10s));
        adapter.CompletePendedRequest();
    });
}

TEST_F(AdapterRequests, ImmediateAnswerReturnsWithoutWaitingAndReportsTheCount)
{
    rztest::RequestBench bench;
    bool waited = false;
    sim::SetHook("NdisWaitEvent", [&waited] { waited = true; });
    std::array<UCHAR, 6> address{};
    UINT bytes = kUntouched;
    EXPECT_EQ(RelayDoRequest(bench.BindingHandle(), NdisRequestQueryInformation,
                             OID_802_3_CURRENT_ADDRESS, address.data(), 6, &bytes),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(bytes, 6u);
    EXPECT_EQ(address, sim::AdapterConfig{}.stationAddress);
    EXPECT_FALSE(waited);

    ULONG filter = NDIS_PACKET_TYPE_DIRECTED;
    EXPECT_EQ(RelayDoRequest(bench.BindingHandle(), NdisRequestSetInformation,
                             OID_GEN_CURRENT_PACKET_FILTER, &filter, sizeof filter, &bytes),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(bench.Adapter().PacketFilter(), static_cast<ULONG>(NDIS_PACKET_TYPE_DIRECTED));
}

TEST_F(AdapterRequests, PendedRequestCompletedFromAnotherThreadReturnsItsStatusAndCount)
{
    rztest::RequestBench bench;
    bench.Adapter().ScriptOid(OID_GEN_MAC_OPTIONS, sim::OidScript::Answer({1, 2, 3, 4}).Pend());
    std::thread adapter = CompleteFromAnotherThread(bench.Adapter());
    ULONG options = 0;
    UINT bytes = kUntouched;
    EXPECT_EQ(RelayDoRequest(bench.BindingHandle(), NdisRequestQueryInformation,
                             OID_GEN_MAC_OPTIONS, &options, sizeof options, &bytes),
              NDIS_STATUS_SUCCESS);
    adapter.join();
    EXPECT_EQ(options, 0x04030201u);
    EXPECT_EQ(bytes, 4u);
}

TEST_F(AdapterRequests, PendedFailureLeavesTheCountAlone)
{
    rztest::RequestBench bench;
    bench.Adapter().ScriptOid(OID_GEN_MAC_OPTIONS,
                              sim::OidScript::Fail(NDIS_STATUS_ADAPTER_NOT_READY).Report(4).Pend());
    std::thread adapter = CompleteFromAnotherThread(bench.Adapter());
    ULONG options = 0;
    UINT bytes = kUntouched;
    EXPECT_EQ(RelayDoRequest(bench.BindingHandle(), NdisRequestQueryInformation,
                             OID_GEN_MAC_OPTIONS, &options, sizeof options, &bytes),
              NDIS_STATUS_ADAPTER_NOT_READY);
    adapter.join();
    EXPECT_EQ(bytes, kUntouched);
}

TEST_F(AdapterRequests, LengthFailuresArePassedOnUnchanged)
{
    rztest::RequestBench bench;
    UINT bytes = kUntouched;
    UCHAR shortBuffer[4];
    EXPECT_EQ(RelayDoRequest(bench.BindingHandle(), NdisRequestQueryInformation,
                             OID_802_3_CURRENT_ADDRESS, shortBuffer, sizeof shortBuffer, &bytes),
              NDIS_STATUS_BUFFER_TOO_SHORT);
    USHORT halfFilter = NDIS_PACKET_TYPE_DIRECTED;
    EXPECT_EQ(RelayDoRequest(bench.BindingHandle(), NdisRequestSetInformation,
                             OID_GEN_CURRENT_PACKET_FILTER, &halfFilter, sizeof halfFilter, &bytes),
              NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(bytes, kUntouched);
    EXPECT_EQ(bench.Adapter().PacketFilter(), 0u);
}

TEST_F(AdapterRequests, NoMemoryIssuesNothing)
{
    rztest::RequestBench bench;
    sim::faults::FailTag(RELAY_POOL_TAG);
    ULONG options = 0;
    UINT bytes = kUntouched;
    EXPECT_EQ(RelayDoRequest(bench.BindingHandle(), NdisRequestQueryInformation,
                             OID_GEN_MAC_OPTIONS, &options, sizeof options, &bytes),
              NDIS_STATUS_RESOURCES);
    EXPECT_EQ(bytes, kUntouched);
    EXPECT_TRUE(bench.Adapter().Requests().empty());
}

TEST_F(AdapterRequests, WaitingAtDispatchLevelIsReported)
{
    rztest::RequestBench bench;
    bench.Adapter().ScriptOid(OID_GEN_MAC_OPTIONS, sim::OidScript().Pend());
    sim::Adapter adapter = bench.Adapter();
    // The adapter answers as the caller starts to wait, so that the test goes on.
    sim::SetHook("NdisWaitEvent", [&adapter] { adapter.CompletePendedRequest(); });
    ULONG options = 0;
    UINT bytes = 0;
    {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        RelayDoRequest(bench.BindingHandle(), NdisRequestQueryInformation, OID_GEN_MAC_OPTIONS,
                       &options, sizeof options, &bytes);
    }
    EXPECT_TRUE(HasRule(TakeViolations(), "irql.too-high"));
}

TEST_F(AdapterRequests, CompletionOfAnotherRequestTypeIsIgnored)
{
    AdapterRequest request{};
    request.Request.RequestType = NdisRequestQueryStatistics;
    request.Status = NDIS_STATUS_SUCCESS;
    NdisInitializeEvent(&request.Event);
    RelayRequestComplete(nullptr, &request.Request, NDIS_STATUS_FAILURE);
    EXPECT_EQ(request.Status, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(NdisWaitEvent(&request.Event, 1));
}

}  // namespace
