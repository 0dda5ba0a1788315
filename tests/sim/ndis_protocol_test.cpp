// The sim's NDIS as a protocol meets it: registration, binds and unbinds with
// the verifier's rules on their completion, opens and closes in NDIS's order.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/ndis_protocol.h"
#include "sim/io.h"
#include "sim/irql.h"
#include "sim/ndis.h"
#include "sim/world.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;

// A protocol whose handlers each test writes as it needs them.
struct Script {
    std::function<void(PNDIS_STATUS, NDIS_HANDLE, PNDIS_STRING)> bind;
    std::function<void(PNDIS_STATUS, NDIS_HANDLE)> unbind;
    std::vector<std::string> events;
    // The IRQL each handler last ran at.
    std::map<std::string, KIRQL> irqls;
    // Run at the end of the request and close completions and the
    // plug-and-play handler, for handlers that misbehave.
    std::function<void()> leaving = [] {};
};

// Each request completion as the protocol saw it, in the order they came.
struct CompletionSeen {
    PNDIS_REQUEST request;
    NDIS_STATUS status;
    std::thread::id thread;
    KIRQL irql;
};
struct Completions {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<CompletionSeen> seen;

    bool WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> guard(lock);
        return arrived.wait_for(guard, sim::kWaitLimit, [this, count] { return seen.size() >= count; });
    }
};
Completions g_completions;
Script g_script;
NDIS_HANDLE g_protocol = nullptr;
NDIS_HANDLE g_open = nullptr;
NDIS_MEDIUM g_medium = NdisMedium802_3;

VOID NTAPI ScriptBind(PNDIS_STATUS Status, NDIS_HANDLE BindContext, PNDIS_STRING Name, PVOID, PVOID)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    g_script.bind(Status, BindContext, Name);
}
VOID NTAPI ScriptUnbind(PNDIS_STATUS Status, NDIS_HANDLE, NDIS_HANDLE UnbindContext)
{
    g_script.unbind(Status, UnbindContext);
}
VOID NTAPI ScriptOpenComplete(NDIS_HANDLE, NDIS_STATUS Status, NDIS_STATUS)
{
    g_script.irqls["open complete"] = KeGetCurrentIrql();
    g_script.events.push_back("open complete " + std::to_string(Status));
}
VOID NTAPI ScriptCloseComplete(NDIS_HANDLE, NDIS_STATUS)
{
    g_script.irqls["close complete"] = KeGetCurrentIrql();
    g_script.events.push_back("close complete");
    g_script.leaving();
}
// May run on NDIS's thread: the test learns of it through g_completions, last.
VOID NTAPI ScriptRequestComplete(NDIS_HANDLE, PNDIS_REQUEST Request, NDIS_STATUS Status)
{
    KIRQL irql = KeGetCurrentIrql();
    g_script.irqls["request complete"] = irql;
    g_script.events.push_back("request complete");
    g_script.leaving();
    std::lock_guard<std::mutex> guard(g_completions.lock);
    g_completions.seen.push_back({Request, Status, std::this_thread::get_id(), irql});
    g_completions.arrived.notify_all();
}
NDIS_STATUS NTAPI ScriptPnPEvent(NDIS_HANDLE, PNET_PNP_EVENT)
{
    g_script.irqls["pnp event"] = KeGetCurrentIrql();
    g_script.leaving();
    return NDIS_STATUS_SUCCESS;
}

NDIS50_PROTOCOL_CHARACTERISTICS Characteristics()
{
    NDIS50_PROTOCOL_CHARACTERISTICS characteristics{};
    characteristics.MajorNdisVersion = 5;
    RtlInitUnicodeString(&characteristics.Name, u"scripted");
    characteristics.BindAdapterHandler = ScriptBind;
    characteristics.UnbindAdapterHandler = ScriptUnbind;
    characteristics.OpenAdapterCompleteHandler = ScriptOpenComplete;
    characteristics.CloseAdapterCompleteHandler = ScriptCloseComplete;
    characteristics.RequestCompleteHandler = ScriptRequestComplete;
    characteristics.PnPEventHandler = ScriptPnPEvent;
    return characteristics;
}

void OpenIt(PNDIS_STATUS status, PNDIS_STRING name)
{
    NDIS_STATUS error;
    UINT index;
    NdisOpenAdapter(status, &error, &g_open, &index, &g_medium, 1, g_protocol, nullptr, name, 0,
                    nullptr);
}

class SimNdis : public rztest::SimTest {
protected:
    void SetUp() override
    {
        rztest::SimTest::SetUp();
        g_script = Script{};
        g_script.bind = [](PNDIS_STATUS status, NDIS_HANDLE, PNDIS_STRING name) { OpenIt(status, name); };
        g_script.unbind = [](PNDIS_STATUS status, NDIS_HANDLE) { NdisCloseAdapter(status, g_open); };
        g_open = nullptr;
        std::lock_guard<std::mutex> guard(g_completions.lock);
        g_completions.seen.clear();
    }

    void Register()
    {
        NDIS50_PROTOCOL_CHARACTERISTICS characteristics = Characteristics();
        NDIS_STATUS status;
        NdisRegisterProtocol(&status, &g_protocol, &characteristics, sizeof characteristics);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    }

    void Deregister()
    {
        NDIS_STATUS status;
        NdisDeregisterProtocol(&status, g_protocol);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    }
};

TEST_F(SimNdis, RegistrationChecksVersionAndLengthThenOffersEveryAdapter)
{
    sim::Adapter nic = sim::AddAdapter();
    NDIS50_PROTOCOL_CHARACTERISTICS characteristics = Characteristics();
    NDIS_STATUS status;
    characteristics.MajorNdisVersion = 4;
    NdisRegisterProtocol(&status, &g_protocol, &characteristics, sizeof characteristics);
    EXPECT_EQ(status, NDIS_STATUS_BAD_VERSION);
    characteristics.MajorNdisVersion = 5;
    NdisRegisterProtocol(&status, &g_protocol, &characteristics, sizeof characteristics - 4);
    EXPECT_EQ(status, NDIS_STATUS_BAD_CHARACTERISTICS);
    EXPECT_EQ(nic.LatestBind().handlerReturned, false);

    Register();
    EXPECT_EQ(nic.LatestBind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic.OpenCount(), 1u);
    Deregister();
    EXPECT_EQ(nic.OpenCount(), 0u);
    EXPECT_EQ(nic.LatestUnbind().Result(), NDIS_STATUS_SUCCESS);
}

TEST_F(SimNdis, BindCompletionRulesAreEnforced)
{
    Register();
    // Completed inside the handler with a status other than the one returned.
    g_script.bind = [](PNDIS_STATUS status, NDIS_HANDLE context, PNDIS_STRING) {
        NdisCompleteBindAdapter(context, NDIS_STATUS_FAILURE, 0);
        *status = NDIS_STATUS_SUCCESS;
    };
    sim::AddAdapter({.name = u"\\Device\\A"});
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.bind-status"));

    // Completed twice, and completed after a final status.
    NDIS_HANDLE saved = nullptr;
    g_script.bind = [&saved](PNDIS_STATUS status, NDIS_HANDLE context, PNDIS_STRING) {
        saved = context;
        *status = NDIS_STATUS_PENDING;
    };
    sim::Adapter pending = sim::AddAdapter({.name = u"\\Device\\B"});
    NdisCompleteBindAdapter(saved, NDIS_STATUS_OPEN_FAILED, 0);
    EXPECT_EQ(pending.LatestBind().Result(), NDIS_STATUS_OPEN_FAILED);
    NdisCompleteBindAdapter(saved, NDIS_STATUS_OPEN_FAILED, 0);
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.bind-completed-twice"));

    g_script.bind = [&saved](PNDIS_STATUS status, NDIS_HANDLE context, PNDIS_STRING) {
        saved = context;
        *status = NDIS_STATUS_ADAPTER_NOT_READY;
    };
    sim::AddAdapter({.name = u"\\Device\\C"});
    NdisCompleteBindAdapter(saved, NDIS_STATUS_SUCCESS, 0);
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.bind-completed-after-final"));

    // Reported pending and never completed: left behind at the end.
    g_script.bind = [](PNDIS_STATUS status, NDIS_HANDLE, PNDIS_STRING) { *status = NDIS_STATUS_PENDING; };
    sim::AddAdapter({.name = u"\\Device\\D"});
    bool reported = false;
    for (const std::string &leak : sim::Leaks()) {
        reported = reported || leak.find("bind of adapter \\Device\\D") != std::string::npos;
    }
    EXPECT_TRUE(reported);
    Deregister();
    sim::ResetWorld();
}

TEST_F(SimNdis, OpenSelectsTheMediumOrFails)
{
    Register();
    NDIS_STATUS bound = NDIS_STATUS_PENDING;
    g_script.bind = [&bound](PNDIS_STATUS status, NDIS_HANDLE, PNDIS_STRING name) {
        OpenIt(status, name);
        bound = *status;
    };
    sim::Adapter ring = sim::AddAdapter({.name = u"\\Device\\Ring", .medium = NdisMedium802_5});
    EXPECT_EQ(bound, NDIS_STATUS_UNSUPPORTED_MEDIA);
    EXPECT_EQ(ring.OpenCount(), 0u);
    Deregister();
}

TEST_F(SimNdis, PendedOpenCompletesThroughTheHandler)
{
    Register();
    sim::Adapter slow = sim::CreateAdapter();
    slow.SetOpenCompletion(sim::Completion::Pended);
    NDIS_HANDLE saved = nullptr;
    g_script.bind = [&saved](PNDIS_STATUS status, NDIS_HANDLE context, PNDIS_STRING name) {
        saved = context;
        OpenIt(status, name);
        EXPECT_EQ(*status, NDIS_STATUS_PENDING);
    };
    slow.Arrive();
    EXPECT_EQ(slow.LatestOpenState(), sim::OpenState::Opening);
    EXPECT_TRUE(g_script.events.empty());
    EXPECT_TRUE(slow.CompletePendedOpen());
    EXPECT_EQ(g_script.events, std::vector<std::string>{"open complete 0"});
    EXPECT_EQ(slow.LatestOpenState(), sim::OpenState::Open);
    NdisCompleteBindAdapter(saved, NDIS_STATUS_SUCCESS, 0);
    EXPECT_EQ(slow.LatestBind().Result(), NDIS_STATUS_SUCCESS);
    Deregister();
}

TEST_F(SimNdis, TheRemovalUnbindsOnlyOnceTheBindHasCompleted)
{
    Register();
    NDIS_HANDLE saved = nullptr;
    g_script.bind = [&saved](PNDIS_STATUS status, NDIS_HANDLE context, PNDIS_STRING name) {
        saved = context;
        OpenIt(status, name);
        ASSERT_EQ(*status, NDIS_STATUS_SUCCESS);
        *status = NDIS_STATUS_PENDING;  // the set-up goes on after the handler returns
    };
    g_script.unbind = [](PNDIS_STATUS status, NDIS_HANDLE) {
        g_script.events.push_back("unbind");
        NdisCloseAdapter(status, g_open);
    };
    sim::Adapter nic = sim::AddAdapter();
    ASSERT_EQ(nic.LatestOpenState(), sim::OpenState::Open);
    std::thread remover([&nic] { nic.BeginRemove(); });
    g_script.events.push_back("bind completed");
    NdisCompleteBindAdapter(saved, NDIS_STATUS_SUCCESS, 0);
    remover.join();
    EXPECT_TRUE(nic.WaitRemoved(std::chrono::seconds(5)));
    ASSERT_GE(g_script.events.size(), 2u);
    EXPECT_EQ(g_script.events[0], "bind completed");
    EXPECT_EQ(g_script.events[1], "unbind");
    EXPECT_EQ(nic.OpenCount(), 0u);
    Deregister();
}

TEST_F(SimNdis, CloseWaitsForRequestsInFlightAndCallsAfterCloseAreCaught)
{
    Register();
    sim::Adapter nic = sim::AddAdapter();
    nic.ScriptOid(OID_GEN_MAC_OPTIONS, sim::OidScript().Pend());
    NDIS_REQUEST request{};
    ULONG options;
    request.RequestType = NdisRequestQueryInformation;
    request.DATA.QUERY_INFORMATION.Oid = OID_GEN_MAC_OPTIONS;
    request.DATA.QUERY_INFORMATION.InformationBuffer = &options;
    request.DATA.QUERY_INFORMATION.InformationBufferLength = sizeof options;
    NDIS_STATUS status;
    NdisRequest(&status, g_open, &request);
    ASSERT_EQ(status, NDIS_STATUS_PENDING);

    NdisCloseAdapter(&status, g_open);
    EXPECT_EQ(status, NDIS_STATUS_PENDING);
    EXPECT_EQ(nic.LatestOpenState(), sim::OpenState::Closing);
    NdisRequest(&status, g_open, &request);
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.call-after-close"));

    EXPECT_TRUE(nic.CompletePendedRequest());
    EXPECT_EQ(g_script.events, (std::vector<std::string>{"request complete", "close complete"}));
    EXPECT_EQ(nic.LatestOpenState(), sim::OpenState::Closed);
    g_script.unbind = [](PNDIS_STATUS status, NDIS_HANDLE) { *status = NDIS_STATUS_SUCCESS; };
    Deregister();
}

TEST_F(SimNdis, UnbindMustFollowTheCloseAndRemovalWaitsForIt)
{
    Register();
    sim::Adapter nic = sim::AddAdapter();
    NDIS_HANDLE saved = nullptr;
    g_script.unbind = [&saved](PNDIS_STATUS status, NDIS_HANDLE context) {
        saved = context;
        *status = NDIS_STATUS_PENDING;
    };
    nic.BeginRemove();
    EXPECT_FALSE(nic.WaitRemoved(std::chrono::milliseconds(1)));
    NdisCompleteUnbindAdapter(saved, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.unbind-before-close"));
    EXPECT_TRUE(nic.WaitRemoved(std::chrono::seconds(1)));
    NDIS_STATUS status;
    NdisCloseAdapter(&status, g_open);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    Deregister();
}

TEST_F(SimNdis, AnUnbindCompletesOnlyWithSuccess)
{
    Register();
    sim::Adapter nic = sim::AddAdapter();
    NDIS_HANDLE saved = nullptr;
    g_script.unbind = [&saved](PNDIS_STATUS status, NDIS_HANDLE context) {
        saved = context;
        *status = NDIS_STATUS_PENDING;
    };
    nic.BeginRemove();
    NDIS_STATUS status;
    NdisCloseAdapter(&status, g_open);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    NdisCompleteUnbindAdapter(saved, NDIS_STATUS_FAILURE);
    std::vector<std::string> violations = TakeViolations();
    EXPECT_TRUE(HasRule(violations, "ndis.unbind-not-success"));
    EXPECT_EQ(violations.size(), 1u);
    EXPECT_TRUE(nic.WaitRemoved(std::chrono::seconds(1)));
    Deregister();
}

TEST_F(SimNdis, OpenLeftOpenAndProtocolLeftRegisteredAreLeaks)
{
    Register();
    sim::AddAdapter();
    std::vector<std::string> leaks = sim::Leaks();
    ASSERT_EQ(leaks.size(), 2u);
    EXPECT_NE(leaks[0].find("still registered"), std::string::npos);
    EXPECT_NE(leaks[1].find("open never closed"), std::string::npos);
    sim::ResetWorld();
}

// A query of the adapter's MAC options, on the latest open.
struct OptionsQuery {
    NDIS_REQUEST request{};
    ULONG options = 0;

    NDIS_STATUS Issue(NDIS_OID oid = OID_GEN_MAC_OPTIONS)
    {
        request.RequestType = NdisRequestQueryInformation;
        request.DATA.QUERY_INFORMATION.Oid = oid;
        request.DATA.QUERY_INFORMATION.InformationBuffer = &options;
        request.DATA.QUERY_INFORMATION.InformationBufferLength = sizeof options;
        NDIS_STATUS status;
        NdisRequest(&status, g_open, &request);
        return status;
    }
};

// Open and close completions and plug-and-play events at PASSIVE_LEVEL,
// request completions at DISPATCH_LEVEL, however the work was finished: a
// close the adapter completes, and one that a request in flight held back.
TEST_F(SimNdis, EachHandlerRunsAtItsDocumentedIrql)
{
    Register();
    sim::Adapter nic = sim::CreateAdapter();
    nic.SetOpenCompletion(sim::Completion::Pended);
    nic.SetCloseCompletion(sim::Completion::Pended);
    NDIS_HANDLE bind = nullptr;
    g_script.bind = [&bind](PNDIS_STATUS status, NDIS_HANDLE context, PNDIS_STRING name) {
        bind = context;
        OpenIt(status, name);
    };
    nic.Arrive();
    EXPECT_TRUE(nic.CompletePendedOpen());
    NdisCompleteBindAdapter(bind, NDIS_STATUS_SUCCESS, 0);
    EXPECT_EQ(nic.IndicatePnPEvent(NetEventQueryPower), NDIS_STATUS_SUCCESS);
    nic.ScriptOid(OID_GEN_MAC_OPTIONS, sim::OidScript().Pend());
    OptionsQuery query;
    ASSERT_EQ(query.Issue(), NDIS_STATUS_PENDING);
    NDIS_STATUS status;
    NdisCloseAdapter(&status, g_open);
    ASSERT_EQ(status, NDIS_STATUS_PENDING);
    EXPECT_TRUE(nic.CompletePendedClose());
    EXPECT_TRUE(nic.CompletePendedRequest());
    EXPECT_EQ(g_script.events, (std::vector<std::string>{"open complete 0", "request complete", "close complete"}));
    EXPECT_EQ(g_script.irqls, (std::map<std::string, KIRQL>{{"open complete", PASSIVE_LEVEL},
                                                            {"pnp event", PASSIVE_LEVEL},
                                                            {"request complete", DISPATCH_LEVEL},
                                                            {"close complete", PASSIVE_LEVEL}}));
    g_script.unbind = [](PNDIS_STATUS status, NDIS_HANDLE) { *status = NDIS_STATUS_SUCCESS; };
    Deregister();
}

TEST_F(SimNdis, BindsAndUnbindsAreCompletedAtPassiveLevel)
{
    Register();
    NDIS_HANDLE bind = nullptr;
    g_script.bind = [&bind](PNDIS_STATUS status, NDIS_HANDLE context, PNDIS_STRING name) {
        bind = context;
        OpenIt(status, name);
        *status = NDIS_STATUS_PENDING;
    };
    NDIS_HANDLE unbind = nullptr;
    g_script.unbind = [&unbind](PNDIS_STATUS status, NDIS_HANDLE context) {
        unbind = context;
        NdisCloseAdapter(status, g_open);
        *status = NDIS_STATUS_PENDING;
    };
    sim::Adapter nic = sim::AddAdapter();
    {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        NdisCompleteBindAdapter(bind, NDIS_STATUS_SUCCESS, 0);
    }
    std::vector<std::string> violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rfind("irql.too-high: NdisCompleteBindAdapter", 0), 0u) << violations[0];

    nic.BeginRemove();
    {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        NdisCompleteUnbindAdapter(unbind, NDIS_STATUS_SUCCESS);
    }
    violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rfind("irql.too-high: NdisCompleteUnbindAdapter", 0), 0u) << violations[0];
    EXPECT_TRUE(nic.WaitRemoved(std::chrono::seconds(1)));
    Deregister();
}

// A handler that returns holding a spin lock is named, whichever handler it
// is; the sim then frees the lock so that the thread can go on.
TEST_F(SimNdis, EveryHandlerIsCheckedOnItsReturn)
{
    Register();
    sim::Adapter nic = sim::CreateAdapter();
    nic.SetCloseCompletion(sim::Completion::Pended);
    nic.Arrive();
    KSPIN_LOCK lock = 0;
    g_script.leaving = [&lock] { KfAcquireSpinLock(&lock); };
    nic.IndicatePnPEvent(NetEventQueryPower);
    nic.ScriptOid(OID_GEN_MAC_OPTIONS, sim::OidScript().Pend());
    OptionsQuery query;
    ASSERT_EQ(query.Issue(), NDIS_STATUS_PENDING);
    EXPECT_TRUE(nic.CompletePendedRequest());
    NDIS_STATUS status;
    NdisCloseAdapter(&status, g_open);
    EXPECT_TRUE(nic.CompletePendedClose());
    std::vector<std::string> violations = TakeViolations();
    ASSERT_EQ(violations.size(), 3u);
    EXPECT_EQ(violations[0].rfind("ndis.handler-return: PnPEventHandler", 0), 0u) << violations[0];
    EXPECT_EQ(violations[1].rfind("ndis.handler-return: RequestCompleteHandler", 0), 0u) << violations[1];
    EXPECT_EQ(violations[2].rfind("ndis.handler-return: CloseAdapterCompleteHandler", 0), 0u) << violations[2];
    EXPECT_EQ(sim::HeldSpinLockCount(), 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    g_script.leaving = [] {};
    g_script.unbind = [](PNDIS_STATUS status, NDIS_HANDLE) { *status = NDIS_STATUS_SUCCESS; };
    Deregister();
}

// The adapter takes one request at a time: one made while another is
// outstanding pends, whichever open made it, and is answered after it, its
// completion coming from NDIS's own thread at DISPATCH_LEVEL.
TEST_F(SimNdis, ARequestMadeWhileAnotherIsOutstandingPendsAndCompletesInOrder)
{
    Register();
    sim::Adapter nic = sim::AddAdapter();
    nic.ScriptOid(OID_GEN_MAC_OPTIONS, sim::OidScript().Pend());
    OptionsQuery first;
    OptionsQuery second;
    ASSERT_EQ(first.Issue(), NDIS_STATUS_PENDING);
    ASSERT_EQ(second.Issue(OID_GEN_MAXIMUM_TOTAL_SIZE), NDIS_STATUS_PENDING);
    EXPECT_EQ(nic.PendedRequestCount(), 1u);
    EXPECT_EQ(nic.Requests().back().status, NDIS_STATUS_PENDING);

    EXPECT_TRUE(nic.CompletePendedRequest());
    ASSERT_TRUE(g_completions.WaitFor(2));
    {
        std::lock_guard<std::mutex> guard(g_completions.lock);
        EXPECT_EQ(g_completions.seen[0].request, &first.request);
        EXPECT_EQ(g_completions.seen[0].thread, std::this_thread::get_id());
        EXPECT_EQ(g_completions.seen[1].request, &second.request);
        EXPECT_EQ(g_completions.seen[1].status, NDIS_STATUS_SUCCESS);
        EXPECT_NE(g_completions.seen[1].thread, std::this_thread::get_id());
        EXPECT_EQ(g_completions.seen[1].irql, DISPATCH_LEVEL);
    }
    EXPECT_EQ(second.options, 1514u);
    EXPECT_EQ(nic.PendedRequestCount(), 0u);
    // The close may wait for the second completion to return; the
    // deregistration waits for the close.
    NDIS_STATUS status;
    NdisCloseAdapter(&status, g_open);
    g_script.unbind = [](PNDIS_STATUS status, NDIS_HANDLE) { *status = NDIS_STATUS_SUCCESS; };
    Deregister();
}

// An adapter whose every request pends: answered in order of issue, each on
// NDIS's thread, and a close waits for them.
TEST_F(SimNdis, AnAdapterThatPendsEveryRequestCompletesThemInOrderBeforeTheClose)
{
    Register();
    sim::Adapter nic = sim::AddAdapter({.requestsPend = true});
    OptionsQuery first;
    OptionsQuery second;
    ASSERT_EQ(first.Issue(), NDIS_STATUS_PENDING);
    ASSERT_EQ(second.Issue(OID_GEN_MAXIMUM_TOTAL_SIZE), NDIS_STATUS_PENDING);
    NDIS_STATUS status;
    NdisCloseAdapter(&status, g_open);
    ASSERT_TRUE(g_completions.WaitFor(2));
    {
        std::lock_guard<std::mutex> guard(g_completions.lock);
        EXPECT_EQ(g_completions.seen[0].request, &first.request);
        EXPECT_EQ(g_completions.seen[1].request, &second.request);
        for (const CompletionSeen &completion : g_completions.seen) {
            EXPECT_EQ(completion.status, NDIS_STATUS_SUCCESS);
            EXPECT_NE(completion.thread, std::this_thread::get_id());
            EXPECT_EQ(completion.irql, DISPATCH_LEVEL);
        }
    }
    EXPECT_EQ(first.options, sim::AdapterConfig{}.macOptions);
    g_script.unbind = [](PNDIS_STATUS status, NDIS_HANDLE) { *status = NDIS_STATUS_SUCCESS; };
    Deregister();
    EXPECT_EQ(nic.LatestOpenState(), sim::OpenState::Closed);
}

}  // namespace
