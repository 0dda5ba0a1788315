// Adapters leave while users of their open adapter come and go on other
// threads, some at DISPATCH_LEVEL as the receive path does: every adapter is
// closed once, every unbind completes, and the record is left to its last
// reference holder.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bindings/lifecycle.h"
#include "bindings/request.h"
#include "sim/irql.h"
#include "sim/ndis.h"
#include "sim/pool.h"
#include "sim/work.h"
#include "tests/support/relay_protocol.h"
#include "tests/support/sim_test.h"

namespace {

class LifecycleStress : public rztest::SimTest {};

// One use of the open adapter, as an OID request or a receive transfer makes it.
void UseOpenAdapter(AdapterBinding *binding, bool atDispatch)
{
    RelayReferenceOpen(binding);
    bool accepting = InterlockedCompareExchange(&binding->Flags, 0, 0) == 0;
    if (accepting && !atDispatch) {
        ULONG options = 0;
        UINT bytes = 0;
        EXPECT_EQ(RelayDoRequest(binding->BindingHandle, NdisRequestQueryInformation,
                                 OID_GEN_MAC_OPTIONS, &options, sizeof options, &bytes),
                  NDIS_STATUS_SUCCESS);
    }
    if (atDispatch) {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        RelayDereferenceOpen(binding);
    } else {
        RelayDereferenceOpen(binding);
    }
}

TEST_F(LifecycleStress, AdaptersLeaveWhileTheirUsersComeAndGo)
{
    constexpr int kAdapters = 30;
    constexpr int kUsers = 3;
    rztest::RelayProtocol relay;
    for (int round = 0; round < kAdapters; ++round) {
        sim::AdapterConfig config;
        config.name = u"\\Device\\NIC-" + std::u16string(1, static_cast<char16_t>(u'A' + round));
        sim::Adapter nic = sim::AddAdapter(config);
        AdapterBinding *binding = relay.Lookup(nic);
        ASSERT_NE(binding, nullptr);

        std::atomic<bool> stop{false};
        std::vector<std::thread> users;
        for (int user = 0; user < kUsers; ++user) {
            users.emplace_back([binding, &stop, user] {
                for (int use = 0; use < 200 && !stop; ++use) {
                    UseOpenAdapter(binding, (use + user) % 2 == 0);
                }
            });
        }
        EXPECT_TRUE(nic.Remove());
        stop = true;
        for (std::thread &user : users) {
            user.join();
        }
        EXPECT_TRUE(sim::WaitForWorkItems());
        EXPECT_EQ(nic.LatestUnbind().completionStatus, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(nic.OpenCount(), 0u);
        std::vector<sim::RequestRecord> requests = nic.Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().oid, static_cast<NDIS_OID>(OID_GEN_CURRENT_PACKET_FILTER));
        EXPECT_EQ(requests.back().setValue, 0u);
        EXPECT_EQ(binding->RefCount, 1);
        EXPECT_EQ(RelayDereferenceBinding(binding), 0);
    }
    EXPECT_EQ(relay.ListedCount(), 0u);
    EXPECT_EQ(sim::LivePoolBlockCount(RELAY_POOL_TAG), 0u);
}

}  // namespace
