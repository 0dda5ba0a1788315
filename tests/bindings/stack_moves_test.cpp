// The stack's arrival and removal of an adapter made on its own thread, as
// a service that must not wait for them makes them: the caller goes on at
// once, and hears that the adapter is bound or gone when the protocol has
// completed its bind or unbind, however late that is.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/hooks.h"
#include "sim/ndis.h"
#include "sim/work.h"
#include "tests/support/gate.h"
#include "tests/support/relay_protocol.h"
#include "tests/support/sim_test.h"

namespace {

using namespace std::chrono_literals;

class StackMoves : public rztest::SimTest {};

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

}  // namespace
