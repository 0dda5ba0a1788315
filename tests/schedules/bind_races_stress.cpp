// The end of a failed bind under many schedules: the adapter opens at once,
// a step of its set-up fails, and the close that ends the bind completes on
// another thread while the bind handler is on its way out. The stack learns
// of the failure exactly once: from the handler's return, or from the
// completion while the handler says pending.
#include <gtest/gtest.h>

#include "sim/io.h"
#include "sim/ndis.h"
#include "tests/support/race_stage.h"
#include "tests/support/schedules.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::ExploreSchedules;
using rztest::RaceStage;
using rztest::RunParties;

constexpr unsigned kSeeds = 300;

class BindRaces : public rztest::SimTest {};

TEST_F(BindRaces, AFailedSetUpsCloseAgainstTheBindHandler)
{
    const NDIS_OID setUpSteps[] = {OID_802_3_CURRENT_ADDRESS, OID_GEN_MAC_OPTIONS, OID_GEN_CURRENT_PACKET_FILTER};
    ExploreSchedules({"close completion against bind handler", kSeeds}, [&setUpSteps](uint64_t seed) {
        RaceStage stage;
        sim::AdapterConfig config;
        config.name = u"\\Device\\{SIM-NIC-1}";
        sim::Adapter nic = sim::CreateAdapter(config);
        nic.ScriptOid(setUpSteps[seed % 3], sim::OidScript::Fail(NDIS_STATUS_ADAPTER_NOT_READY).Times(1));
        nic.SetCloseCompletion(sim::Completion::Pended);
        bool closed = false;
        RunParties(seed, {[&] { nic.Arrive(); },
                          [&] { closed = nic.WaitForPendedCloses(1, sim::kWaitLimit) && nic.CompletePendedClose(); }});
        EXPECT_TRUE(closed);
        sim::HandlerOutcome bind = nic.LatestBind();
        EXPECT_EQ(bind.Result(), NDIS_STATUS_ADAPTER_NOT_READY);
        if (bind.handlerStatus == NDIS_STATUS_PENDING) {
            EXPECT_TRUE(bind.completed);
        } else {
            EXPECT_EQ(bind.handlerStatus, NDIS_STATUS_ADAPTER_NOT_READY);
            EXPECT_FALSE(bind.completed);
        }
        EXPECT_EQ(nic.OpenCount(), 0u);
    });
}

}  // namespace
