// Many callers issue blocking requests on one adapter at once while the
// adapter answers the pended ones from its own thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bindings/request.h"
#include "tests/support/request_bench.h"
#include "tests/support/sim_test.h"

namespace {

using namespace std::chrono_literals;

class AdapterRequestStress : public rztest::SimTest {};

TEST_F(AdapterRequestStress, ConcurrentRequestsEachGetTheirOwnAnswer)
{
    constexpr int kCallers = 6;
    constexpr int kRequestsEach = 200;
    rztest::RequestBench bench;
    // MAC options pend and are answered by the adapter's thread; the station
    // address is answered at once.
    bench.Adapter().ScriptOid(OID_GEN_MAC_OPTIONS, sim::OidScript::Answer({7, 0, 0, 0}).Pend());
    std::atomic<int> pendedLeft{kCallers * kRequestsEach / 2};
    std::atomic<int> wrong{0};

    std::thread adapter([&] {
        sim::Adapter nic = bench.Adapter();
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (pendedLeft > 0 && std::chrono::steady_clock::now() < deadline) {
            if (nic.WaitForPendedRequests(1, 100ms) && nic.CompletePendedRequest()) {
                --pendedLeft;
            }
        }
    });
    std::vector<std::thread> callers;
    for (int caller = 0; caller < kCallers; ++caller) {
        callers.emplace_back([&bench, &wrong, caller] {
            for (int i = 0; i < kRequestsEach; ++i) {
                UINT bytes = 0;
                if ((i + caller) % 2 == 0) {
                    ULONG options = 0;
                    NDIS_STATUS status = RelayDoRequest(bench.BindingHandle(), NdisRequestQueryInformation,
                                                        OID_GEN_MAC_OPTIONS, &options, sizeof options, &bytes);
                    wrong += (status != NDIS_STATUS_SUCCESS || options != 7 || bytes != 4) ? 1 : 0;
                } else {
                    UCHAR address[6] = {};
                    NDIS_STATUS status = RelayDoRequest(bench.BindingHandle(), NdisRequestQueryInformation,
                                                        OID_802_3_CURRENT_ADDRESS, address, 6, &bytes);
                    wrong += (status != NDIS_STATUS_SUCCESS || bytes != 6 || address[0] != 0x02) ? 1 : 0;
                }
            }
        });
    }
    for (std::thread &caller : callers) {
        caller.join();
    }
    adapter.join();
    EXPECT_EQ(pendedLeft, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(bench.Adapter().PendedRequestCount(), 0u);
}

}  // namespace
