// The stack's arrival and removal of an adapter made on its own thread, as
// a service that must not wait for them makes them: the caller goes on at
// once, and hears that the adapter is bound or gone when the protocol has
// completed its bind or unbind, however late that is.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>
#include <thread>

#include "bindings/lifecycle.h"
#include "bindings/request.h"
#include "sim/hooks.h"
#include "sim/ndis.h"
#include "sim/wire.h"
#include "sim/work.h"
#include "tests/support/gate.h"
#include "tests/support/relay_protocol.h"
#include "tests/support/sim_test.h"

namespace {

using namespace std::chrono_literals;

class StackMoves : public rztest::SimTest {};

// A medium that takes every frame and answers nothing itself.
class QuietWire : public sim::Wire {
public:
    NDIS_STATUS Transmit(const std::vector<sim::WirePiece> &) override { return NDIS_STATUS_SUCCESS; }
    std::optional<std::vector<uint8_t>> Query(NDIS_OID) override { return std::nullopt; }
    void FollowReceiveMode(const sim::ReceiveFilter &) override {}
};

sim::Adapter Arrived(const char16_t *name, std::shared_ptr<sim::Wire> wire = nullptr)
{
    sim::AdapterConfig config;
    config.name = name;
    config.wire = std::move(wire);
    return sim::AddAdapter(config);
}

TEST_F(StackMoves, AnArrivalBindsOnAThreadOfTheStacksAndTellsWhenBound)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::CreateAdapter();
    std::thread::id binder;
    sim::SetHook("NdisCompleteBindAdapter", [&binder] { binder = std::this_thread::get_id(); });
    rztest::Gate bound;
    nic.BeginArrival([&bound] { bound.Open(); });
    ASSERT_TRUE(bound.Wait());
    EXPECT_NE(binder, std::this_thread::get_id());
    EXPECT_EQ(nic.LatestBind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(relay.ListedCount(), 1u);
}

TEST_F(StackMoves, APendedBindIsToldOnlyWhenItCompletes)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::CreateAdapter();
    nic.SetOpenCompletion(sim::Completion::Pended);
    std::atomic<bool> told{false};
    nic.BeginArrival([&told] { told = true; });
    ASSERT_TRUE(sim::WaitForWorkItems(5s));
    EXPECT_EQ(nic.LatestBind().handlerStatus, NDIS_STATUS_PENDING);
    EXPECT_FALSE(told);
    // The completion's thread, this one, is the one that tells.
    EXPECT_TRUE(nic.CompletePendedOpen());
    EXPECT_TRUE(told);
    EXPECT_EQ(nic.LatestBind().Result(), NDIS_STATUS_SUCCESS);
}

TEST_F(StackMoves, ARemovalIsToldOnlyOnceTheUnbindsPendedCloseCompletes)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    nic.SetCloseCompletion(sim::Completion::Pended);
    std::atomic<bool> told{false};
    rztest::Gate gone;
    nic.BeginRemoval([&] {
        told = true;
        gone.Open();
    });
    ASSERT_TRUE(nic.WaitForPendedCloses(1, 5s));
    EXPECT_FALSE(told);
    EXPECT_EQ(relay.ListedCount(), 1u);
    EXPECT_TRUE(nic.CompletePendedClose());
    ASSERT_TRUE(gone.Wait());
    EXPECT_EQ(nic.LatestUnbind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(relay.ListedCount(), 0u);
}

TEST_F(StackMoves, ARemovalWithNothingBoundIsToldAtOnce)
{
    sim::Adapter nic = sim::CreateAdapter();
    rztest::Gate gone;
    nic.BeginRemoval([&gone] { gone.Open(); });
    EXPECT_TRUE(gone.Wait());
}

// A long-lived adapter lets go of the records of its answered requests; a
// request still waiting keeps its record, answered in place.
TEST_F(StackMoves, AnAdapterForgetsItsAnsweredRequestsButNotOneWaiting)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    ASSERT_FALSE(nic.Requests().empty());
    nic.ForgetRequests();
    EXPECT_TRUE(nic.Requests().empty());

    AdapterBinding *binding = relay.Lookup(nic);
    ASSERT_NE(binding, nullptr);
    nic.ScriptOid(OID_GEN_MAC_OPTIONS, sim::OidScript().Pend().Times(1));
    NDIS_STATUS queried = NDIS_STATUS_PENDING;
    std::thread client([binding, &queried] {
        RelayReferenceOpen(binding);
        ULONG options = 0;
        UINT bytes = 0;
        queried = RelayDoRequest(binding->BindingHandle, NdisRequestQueryInformation, OID_GEN_MAC_OPTIONS, &options,
                                 sizeof options, &bytes);
        RelayDereferenceOpen(binding);
    });
    ASSERT_TRUE(nic.WaitForPendedRequests(1, 5s));
    nic.ForgetRequests();
    ASSERT_EQ(nic.Requests().size(), 1u);
    EXPECT_TRUE(nic.CompletePendedRequest());
    client.join();
    EXPECT_EQ(queried, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(nic.Requests().size(), 1u);
    EXPECT_EQ(nic.Requests()[0].oid, static_cast<NDIS_OID>(OID_GEN_MAC_OPTIONS));
    EXPECT_EQ(nic.Requests()[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(nic.Remove());
    EXPECT_EQ(RelayDereferenceBinding(binding), 0);  // the lookup's reference
}

// Adapters come and go for as long as a service runs: one removed and done
// with is let go of, its wire with it; one whose unbind still waits for its
// close is kept until that completes, and one present is kept.
TEST_F(StackMoves, AnAdapterRemovedAndDoneWithIsForgottenWithItsWire)
{
    rztest::RelayProtocol relay;
    sim::Adapter kept = Arrived(u"\\Device\\{KEPT}");
    auto wire = std::make_shared<QuietWire>();
    std::weak_ptr<sim::Wire> goneWire = wire;
    sim::Adapter gone = Arrived(u"\\Device\\{GONE}", std::move(wire));
    sim::Adapter closing = Arrived(u"\\Device\\{CLOSING}");
    closing.SetCloseCompletion(sim::Completion::Pended);
    ASSERT_TRUE(gone.Remove());
    closing.BeginRemove();
    ASSERT_TRUE(closing.WaitForPendedCloses(1, 5s));

    sim::ForgetRemovedAdapters();
    EXPECT_EQ(sim::KnownAdapterCount(), 2u);
    EXPECT_TRUE(goneWire.expired());
    EXPECT_TRUE(closing.CompletePendedClose());
    ASSERT_TRUE(closing.WaitRemoved(5s));
    sim::ForgetRemovedAdapters();
    EXPECT_EQ(sim::KnownAdapterCount(), 1u);
    EXPECT_EQ(relay.ListedCount(), 1u);
    EXPECT_EQ(kept.OpenCount(), 1u);
}

}  // namespace
