// Status indications as a protocol meets them: the status handler and then
// the status-complete handler, at DISPATCH_LEVEL, from any thread, and none
// once the open's close was called.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/ndis_protocol.h"
#include "sim/hooks.h"
#include "sim/io.h"
#include "sim/ndis.h"
#include "tests/support/sim_test.h"

namespace {

NDIS_HANDLE g_protocol = nullptr;
NDIS_HANDLE g_open = nullptr;
NDIS_HANDLE g_unbindContext = nullptr;
std::vector<std::string> g_events;
NDIS_MEDIUM g_medium = NdisMedium802_3;

VOID NTAPI OpenOnBind(PNDIS_STATUS Status, NDIS_HANDLE, PNDIS_STRING Name, PVOID, PVOID)
{
    NDIS_STATUS error;
    UINT index;
    NdisOpenAdapter(Status, &error, &g_open, &index, &g_medium, 1, g_protocol, nullptr, Name, 0, nullptr);
}
VOID NTAPI CloseOnUnbind(PNDIS_STATUS Status, NDIS_HANDLE, NDIS_HANDLE UnbindContext)
{
    g_unbindContext = UnbindContext;
    NdisCloseAdapter(Status, g_open);
}
VOID NTAPI OpenComplete(NDIS_HANDLE, NDIS_STATUS, NDIS_STATUS) {}
// Only a close that pended gets here: the unbind it belongs to ends now.
VOID NTAPI CloseComplete(NDIS_HANDLE, NDIS_STATUS)
{
    g_events.push_back("close complete");
    NdisCompleteUnbindAdapter(g_unbindContext, NDIS_STATUS_SUCCESS);
}
VOID NTAPI RecordStatus(NDIS_HANDLE, NDIS_STATUS Status, PVOID Buffer, UINT Size)
{
    std::string event = "status " + std::to_string(Status) + " irql " + std::to_string(KeGetCurrentIrql());
    for (UINT i = 0; i < Size; ++i) {
        event += ' ';
        event += std::to_string(static_cast<const UCHAR *>(Buffer)[i]);
    }
    if (Buffer == nullptr) {
        event += " no buffer";
    }
    g_events.push_back(event);
}
VOID NTAPI RecordStatusComplete(NDIS_HANDLE)
{
    g_events.push_back("status complete irql " + std::to_string(KeGetCurrentIrql()));
}

class SimStatus : public rztest::SimTest {
protected:
    void SetUp() override
    {
        rztest::SimTest::SetUp();
        g_events.clear();
        NDIS50_PROTOCOL_CHARACTERISTICS characteristics{};
        characteristics.MajorNdisVersion = 5;
        RtlInitUnicodeString(&characteristics.Name, u"status");
        characteristics.BindAdapterHandler = OpenOnBind;
        characteristics.UnbindAdapterHandler = CloseOnUnbind;
        characteristics.OpenAdapterCompleteHandler = OpenComplete;
        characteristics.CloseAdapterCompleteHandler = CloseComplete;
        characteristics.StatusHandler = RecordStatus;
        characteristics.StatusCompleteHandler = RecordStatusComplete;
        NDIS_STATUS status;
        NdisRegisterProtocol(&status, &g_protocol, &characteristics, sizeof characteristics);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    }
    void TearDown() override
    {
        NDIS_STATUS status;
        NdisDeregisterProtocol(&status, g_protocol);
        rztest::SimTest::TearDown();
    }
};

const std::string kConnect = std::to_string(NDIS_STATUS_MEDIA_CONNECT);

TEST_F(SimStatus, HandlerThenCompletionAtDispatchLevelFromAnyThread)
{
    sim::Adapter nic = sim::AddAdapter();
    nic.IndicateStatus(NDIS_STATUS_MEDIA_CONNECT, {7, 8});
    std::thread other([&] { nic.IndicateStatus(NDIS_STATUS_MEDIA_CONNECT); });
    other.join();
    EXPECT_EQ(g_events, (std::vector<std::string>{"status " + kConnect + " irql 2 7 8", "status complete irql 2",
                                                  "status " + kConnect + " irql 2 no buffer",
                                                  "status complete irql 2"}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SimStatus, NoIndicationStartsAfterTheCloseAndTheCloseWaitsForOneInProgress)
{
    sim::Adapter nic = sim::AddAdapter();
    // The stack unbinds the protocol while an indication has started on the open.
    sim::SetHook("NdisIndicateStatus", [&] {
        nic.BeginRemove();
        g_events.push_back("unbind returned");
    });
    nic.IndicateStatus(NDIS_STATUS_MEDIA_CONNECT, {1});
    EXPECT_EQ(g_events, (std::vector<std::string>{"unbind returned", "status " + kConnect + " irql 2 1",
                                                  "status complete irql 2", "close complete"}));
    EXPECT_TRUE(nic.WaitRemoved(sim::kWaitLimit));

    g_events.clear();
    nic.IndicateStatus(NDIS_STATUS_MEDIA_CONNECT, {1});
    EXPECT_TRUE(g_events.empty());
}

}  // namespace
