// The bind and unbind lifecycle as the network stack drives it: adapters
// arriving and leaving, opens and closes at once or pended, each step of the
// adapter's set-up failing, users of the open adapter delaying the close,
// plug-and-play events and the protocol's unload.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "bindings/lifecycle.h"
#include "bindings/request.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/ndis.h"
#include "sim/pool.h"
#include "sim/work.h"
#include "tests/support/gate.h"
#include "tests/support/pending_requests.h"
#include "tests/support/relay_protocol.h"
#include "tests/support/sim_test.h"

namespace {

using namespace std::chrono_literals;

size_t RelayBlocks()
{
    return sim::LivePoolBlockCount(RELAY_POOL_TAG);
}

std::vector<NDIS_OID> Oids(const sim::Adapter &adapter)
{
    std::vector<NDIS_OID> oids;
    for (const sim::RequestRecord &request : adapter.Requests()) {
        oids.push_back(request.oid);
    }
    return oids;
}

sim::Adapter Named(const char16_t *name)
{
    sim::AdapterConfig config;
    config.name = name;
    return sim::CreateAdapter(config);
}

class Lifecycle : public rztest::SimTest {};

// The adapter's removal on a thread of its own, stopped at `point` (reached
// once this returns) until `resume` opens.
std::thread RemovalStoppedAt(sim::Adapter &nic, const std::string &point, rztest::Gate &reached, rztest::Gate &resume)
{
    std::thread removal([&nic, point, &reached, &resume] {
        rztest::StopThisThreadAt(point, reached, resume);
        EXPECT_TRUE(nic.Remove());
    });
    EXPECT_TRUE(reached.Wait());
    return removal;
}

TEST_F(Lifecycle, OpenFailingAtOnceFailsTheBindInsideTheHandler)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::CreateAdapter();
    nic.SetOpenCompletion(sim::Completion::Immediate, NDIS_STATUS_OPEN_FAILED, 0x1234);
    nic.Arrive();
    sim::HandlerOutcome bind = nic.LatestBind();
    EXPECT_EQ(bind.handlerStatus, NDIS_STATUS_OPEN_FAILED);
    EXPECT_TRUE(bind.completedInsideHandler);
    EXPECT_EQ(bind.completionStatus, NDIS_STATUS_OPEN_FAILED);
    EXPECT_EQ(bind.openErrorStatus, 0x1234);
    EXPECT_EQ(RelayBlocks(), 0u);
    EXPECT_EQ(relay.ListedCount(), 0u);
}

TEST_F(Lifecycle, PendedOpenFailingCompletesTheBindWithItsStatus)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::CreateAdapter();
    nic.SetOpenCompletion(sim::Completion::Pended, NDIS_STATUS_OPEN_FAILED, 0x77);
    nic.Arrive();
    EXPECT_EQ(nic.LatestBind().handlerStatus, NDIS_STATUS_PENDING);
    EXPECT_FALSE(nic.LatestBind().completed);
    EXPECT_TRUE(nic.CompletePendedOpen());
    sim::HandlerOutcome bind = nic.LatestBind();
    EXPECT_EQ(bind.completionStatus, NDIS_STATUS_OPEN_FAILED);
    EXPECT_EQ(bind.openErrorStatus, 0x77);
    EXPECT_EQ(RelayBlocks(), 0u);
}

TEST_F(Lifecycle, AdapterOfAnotherMediumIsRefused)
{
    rztest::RelayProtocol relay;
    sim::AdapterConfig config;
    config.medium = NdisMedium802_5;
    sim::Adapter ring = sim::AddAdapter(config);
    EXPECT_EQ(ring.LatestBind().handlerStatus, NDIS_STATUS_UNSUPPORTED_MEDIA);
    EXPECT_EQ(ring.LatestBind().completionStatus, NDIS_STATUS_UNSUPPORTED_MEDIA);
    EXPECT_EQ(ring.OpenCount(), 0u);
    EXPECT_EQ(RelayBlocks(), 0u);
}

TEST_F(Lifecycle, AdapterNameTooLongIsRefusedWithNothingAllocated)
{
    rztest::RelayProtocol relay;
    sim::AdapterConfig config;
    config.name = std::u16string(0x7FFF, u'n');
    sim::Adapter nic = sim::AddAdapter(config);
    EXPECT_EQ(nic.LatestBind().handlerStatus, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_FALSE(nic.LatestBind().completed);
    EXPECT_EQ(nic.OpenCount(), 0u);
    EXPECT_EQ(RelayBlocks(), 0u);
}

TEST_F(Lifecycle, BindAndUnbindAtOnceCompleteInsideTheHandlers)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::CreateAdapter();
    bool listedWhenReported = false;
    sim::SetHook("NdisCompleteBindAdapter", [&] {
        AdapterBinding *found = relay.Lookup(nic);
        listedWhenReported = found != nullptr;
        if (found != nullptr) {
            RelayDereferenceBinding(found);
        }
    });
    nic.Arrive();
    sim::HandlerOutcome bind = nic.LatestBind();
    EXPECT_EQ(bind.handlerStatus, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(bind.completedInsideHandler);
    EXPECT_EQ(bind.completionStatus, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(listedWhenReported);

    EXPECT_EQ(Oids(nic), (std::vector<NDIS_OID>{OID_802_3_CURRENT_ADDRESS, OID_GEN_MAC_OPTIONS,
                                                OID_GEN_PROTOCOL_OPTIONS,
                                                OID_GEN_CURRENT_PACKET_FILTER}));
    EXPECT_EQ(nic.ProtocolOptions(), static_cast<ULONG>(NDIS_PROT_OPTION_NO_LOOPBACK));
    EXPECT_EQ(nic.PacketFilter(), static_cast<ULONG>(NDIS_PACKET_TYPE_DIRECTED));
    AdapterBinding *binding = relay.Lookup(nic);
    ASSERT_NE(binding, nullptr);
    sim::AdapterConfig config;
    EXPECT_EQ(0, memcmp(binding->CurrentAddress, config.stationAddress.data(), 6));
    EXPECT_EQ(binding->MacOptions, config.macOptions);
    EXPECT_EQ(binding->SelectedMediumIndex, 0u);
    EXPECT_EQ(binding->RefCount, 2);  // the list's and this lookup's
    EXPECT_EQ(binding->OpenRefCount, 1);
    EXPECT_EQ(binding->BindContext, nullptr);
    RelayDereferenceBinding(binding);

    EXPECT_TRUE(nic.Remove());
    sim::HandlerOutcome unbind = nic.LatestUnbind();
    EXPECT_EQ(unbind.handlerStatus, NDIS_STATUS_PENDING);
    // Where the filter reset pends, NDIS may still count the request when
    // its completion has woken the close, which then pends and completes
    // the unbind on NDIS's thread.
    if (!sim::AdaptersPendEveryRequest()) {
        EXPECT_TRUE(unbind.completedInsideHandler);
    }
    EXPECT_EQ(unbind.completionStatus, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic.Requests().back().oid, static_cast<NDIS_OID>(OID_GEN_CURRENT_PACKET_FILTER));
    EXPECT_EQ(nic.Requests().back().setValue, 0u);
    EXPECT_EQ(nic.OpenCount(), 0u);
    EXPECT_EQ(relay.ListedCount(), 0u);
    EXPECT_EQ(RelayBlocks(), 0u);
}

TEST_F(Lifecycle, EachFailingSetUpStepEndsTheBindExceptTheLoopbackOption)
{
    struct Case {
        const char16_t *name;
        NDIS_OID failing;
        NDIS_STATUS failure;
        std::vector<NDIS_OID> requested;
        NDIS_STATUS result;
    };
    const std::vector<Case> cases = {
        {u"\\Device\\Address", OID_802_3_CURRENT_ADDRESS, NDIS_STATUS_FAILURE,
         {OID_802_3_CURRENT_ADDRESS, OID_GEN_CURRENT_PACKET_FILTER}, NDIS_STATUS_FAILURE},
        {u"\\Device\\Options", OID_GEN_MAC_OPTIONS, NDIS_STATUS_NOT_SUPPORTED,
         {OID_802_3_CURRENT_ADDRESS, OID_GEN_MAC_OPTIONS, OID_GEN_CURRENT_PACKET_FILTER},
         NDIS_STATUS_NOT_SUPPORTED},
        {u"\\Device\\Loopback", OID_GEN_PROTOCOL_OPTIONS, NDIS_STATUS_NOT_SUPPORTED,
         {OID_802_3_CURRENT_ADDRESS, OID_GEN_MAC_OPTIONS, OID_GEN_PROTOCOL_OPTIONS,
          OID_GEN_CURRENT_PACKET_FILTER},
         NDIS_STATUS_SUCCESS},
        {u"\\Device\\Filter", OID_GEN_CURRENT_PACKET_FILTER, NDIS_STATUS_INVALID_DATA,
         {OID_802_3_CURRENT_ADDRESS, OID_GEN_MAC_OPTIONS, OID_GEN_PROTOCOL_OPTIONS,
          OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_CURRENT_PACKET_FILTER},
         NDIS_STATUS_INVALID_DATA},
    };
    rztest::RelayProtocol relay;
    for (const Case &c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases.data()));
        sim::Adapter nic = Named(c.name);
        nic.ScriptOid(c.failing, sim::OidScript::Fail(c.failure).Times(1));
        nic.Arrive();
        EXPECT_TRUE(sim::WaitForNdisWork());
        sim::HandlerOutcome bind = nic.LatestBind();
        EXPECT_EQ(bind.Result(), c.result);
        // A close at once completes the bind inside the handler; on the
        // failure road the completion reported it, so the handler says
        // pending. Where the filter reset pends, the close may complete on
        // NDIS's thread instead, after the handler returned the failure.
        if (!sim::AdaptersPendEveryRequest()) {
            EXPECT_EQ(bind.handlerStatus, c.result == NDIS_STATUS_SUCCESS ? c.result : NDIS_STATUS_PENDING);
            EXPECT_TRUE(bind.completedInsideHandler);
            EXPECT_EQ(bind.completionStatus, c.result);
        }
        EXPECT_EQ(Oids(nic), c.requested);
        AdapterBinding *binding = relay.Lookup(nic);
        EXPECT_EQ(binding != nullptr, c.result == NDIS_STATUS_SUCCESS);
        EXPECT_EQ(nic.OpenCount(), c.result == NDIS_STATUS_SUCCESS ? 1u : 0u);
        if (binding != nullptr) {
            RelayDereferenceBinding(binding);
        }
    }
    EXPECT_EQ(relay.ListedCount(), 1u);
}

// The handler gets to the report before the close completes: it returns the
// failure itself, and the close that ends the road completes afterwards
// without reporting the bind again.
TEST_F(Lifecycle, SetUpFailureWithAPendedCloseIsReportedByTheHandler)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::CreateAdapter();
    nic.ScriptOid(OID_802_3_CURRENT_ADDRESS, sim::OidScript::Fail(NDIS_STATUS_ADAPTER_NOT_READY));
    nic.SetCloseCompletion(sim::Completion::Pended);
    nic.Arrive();
    EXPECT_EQ(nic.LatestBind().handlerStatus, NDIS_STATUS_ADAPTER_NOT_READY);
    EXPECT_FALSE(nic.LatestBind().completed);
    EXPECT_EQ(nic.LatestOpenState(), sim::OpenState::Closing);

    EXPECT_TRUE(nic.CompletePendedClose());
    EXPECT_TRUE(sim::WaitForNdisWork());
    EXPECT_FALSE(nic.LatestBind().completed);
    EXPECT_EQ(nic.LatestBind().Result(), NDIS_STATUS_ADAPTER_NOT_READY);
    EXPECT_EQ(nic.OpenCount(), 0u);
    EXPECT_EQ(relay.ListedCount(), 0u);
    EXPECT_EQ(RelayBlocks(), 0u);
}

// The close completes on another processor while the handler is still on
// its way out: the completion has taken the bind context and is about to
// report the bind when the handler decides what to return. The handler must
// then leave the report to the completion and say pending.
TEST_F(Lifecycle, SetUpFailureWhoseCloseCompletesElsewhereIsReportedOnce)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::CreateAdapter();
    nic.ScriptOid(OID_802_3_CURRENT_ADDRESS, sim::OidScript::Fail(NDIS_STATUS_ADAPTER_NOT_READY));
    nic.SetCloseCompletion(sim::Completion::Pended);
    rztest::Gate reporting;
    rztest::Gate handlerReturned;
    std::thread completer;
    sim::SetHook("NdisCompleteBindAdapter", [&] {
        reporting.Open();
        handlerReturned.Wait();
    });
    sim::SetHook("NdisCloseAdapter", [&] {
        completer = std::thread([&nic] { EXPECT_TRUE(nic.CompletePendedClose()); });
        reporting.Wait();
    });

    nic.Arrive();
    handlerReturned.Open();
    completer.join();
    // With every request pended, the close completes once NDIS's thread has
    // ended the failed request, and the bind is reported there.
    EXPECT_TRUE(sim::WaitForNdisWork());
    sim::HandlerOutcome bind = nic.LatestBind();
    EXPECT_EQ(bind.handlerStatus, NDIS_STATUS_PENDING);
    EXPECT_TRUE(bind.completed);
    EXPECT_FALSE(bind.completedInsideHandler);
    EXPECT_EQ(bind.completionStatus, NDIS_STATUS_ADAPTER_NOT_READY);
    EXPECT_EQ(nic.OpenCount(), 0u);
    EXPECT_EQ(relay.ListedCount(), 0u);
    EXPECT_EQ(RelayBlocks(), 0u);
}

TEST_F(Lifecycle, SetUpFailureAfterAPendedOpenCompletesTheBindWithTheFailure)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::CreateAdapter();
    nic.SetOpenCompletion(sim::Completion::Pended);
    nic.ScriptOid(OID_GEN_CURRENT_PACKET_FILTER, sim::OidScript::Fail(NDIS_STATUS_FAILURE).Times(1));
    nic.Arrive();
    EXPECT_EQ(nic.LatestBind().handlerStatus, NDIS_STATUS_PENDING);
    EXPECT_TRUE(nic.CompletePendedOpen());
    EXPECT_TRUE(sim::WaitForNdisWork());
    EXPECT_TRUE(nic.LatestBind().completed);
    EXPECT_EQ(nic.LatestBind().completionStatus, NDIS_STATUS_FAILURE);
    EXPECT_EQ(nic.OpenCount(), 0u);
    EXPECT_EQ(RelayBlocks(), 0u);
}

TEST_F(Lifecycle, UnbindDuringAClientsRequestClosesWhenTheRequestReturns)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    AdapterBinding *binding = relay.Lookup(nic);  // the client's attachment
    ASSERT_NE(binding, nullptr);
    nic.ScriptOid(OID_GEN_MAC_OPTIONS, sim::OidScript().Pend().Times(1));
    NDIS_STATUS queried = NDIS_STATUS_PENDING;
    std::thread client([binding, &queried] {
        RelayReferenceOpen(binding);
        ULONG options = 0;
        UINT bytes = 0;
        queried = RelayDoRequest(binding->BindingHandle, NdisRequestQueryInformation,
                                 OID_GEN_MAC_OPTIONS, &options, sizeof options, &bytes);
        RelayDereferenceOpen(binding);
    });
    ASSERT_TRUE(nic.WaitForPendedRequests(1, 5s));

    nic.BeginRemove();
    EXPECT_EQ(nic.LatestUnbind().handlerStatus, NDIS_STATUS_PENDING);
    EXPECT_FALSE(nic.LatestUnbind().completed);
    EXPECT_EQ(nic.OpenCount(), 1u);
    EXPECT_NE(binding->Flags & BINDING_UNBINDING, 0);

    EXPECT_TRUE(nic.CompletePendedRequest());
    client.join();
    EXPECT_EQ(queried, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(nic.WaitRemoved(5s));
    EXPECT_EQ(nic.LatestUnbind().completionStatus, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic.OpenCount(), 0u);
    EXPECT_EQ(relay.ListedCount(), 0u);
    // Only the client's reference keeps the record now.
    EXPECT_EQ(binding->RefCount, 1);
    EXPECT_EQ(binding->OpenRefCount, 0);
    EXPECT_EQ(binding->BindingHandle, nullptr);
    EXPECT_EQ(RelayDereferenceBinding(binding), 0);
    EXPECT_EQ(RelayBlocks(), 0u);
}

TEST_F(Lifecycle, UnbindFailsQueuedRequestsAndLeavesTheRecordToTheAttachedFile)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    AdapterBinding *binding = relay.Lookup(nic);
    ASSERT_NE(binding, nullptr);
    sim::File file = rztest::AttachFile(relay.Device(), binding);
    RelayDereferenceBinding(binding);
    sim::Request first = rztest::NewPendingRequest(file, rztest::QueueRead);
    sim::Request second = rztest::NewPendingRequest(file, rztest::QueueRead);
    EXPECT_EQ(first.Dispatch(rztest::QueueRead), STATUS_PENDING);
    EXPECT_EQ(second.Dispatch(rztest::QueueRead), STATUS_PENDING);
    // The list, the file and two reads.
    EXPECT_EQ(binding->RefCount, 4);
    EXPECT_EQ(binding->OpenRefCount, 1);
    sim::Request wait = rztest::NewPendingRequest(file, rztest::QueueConnectWait);
    EXPECT_EQ(wait.Dispatch(rztest::QueueConnectWait), STATUS_PENDING);

    EXPECT_TRUE(nic.Remove());
    for (const sim::Request &request : {wait, first, second}) {
        ASSERT_TRUE(request.Completed());
        EXPECT_EQ(request.FinalStatus().Status, STATUS_DEVICE_REMOVED);
        EXPECT_EQ(request.FinalStatus().Information, 0u);
    }
    // The file keeps the record, which takes no new work.
    EXPECT_EQ(binding->RefCount, 1);
    EXPECT_EQ(binding->OpenRefCount, 0);
    EXPECT_NE(binding->Flags & BINDING_UNBINDING, 0);
    EXPECT_EQ(relay.ListedCount(), 0u);
    rztest::CloseAttachedFile(file);
    EXPECT_EQ(RelayBlocks(), 0u);
}

// Once the unbind is reported complete the stack may unload the driver and
// its control device: the queues are flushed and the binding has left the
// list before that.
TEST_F(Lifecycle, TheUnbindIsReportedCompleteAfterTheFlushAndTheListRemoval)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    AdapterBinding *binding = relay.Lookup(nic);
    ASSERT_NE(binding, nullptr);
    sim::File file = rztest::AttachFile(relay.Device(), binding);
    RelayDereferenceBinding(binding);
    sim::Request read = rztest::NewPendingRequest(file, rztest::QueueRead);
    EXPECT_EQ(read.Dispatch(rztest::QueueRead), STATUS_PENDING);
    bool flushed = false;
    size_t listed = 1;
    sim::SetHook("NdisCompleteUnbindAdapter", [&] {
        flushed = read.Completed();
        listed = relay.ListedCount();
    });

    EXPECT_TRUE(nic.Remove());
    EXPECT_TRUE(flushed);
    EXPECT_EQ(listed, 0u);
    EXPECT_EQ(read.FinalStatus().Status, STATUS_DEVICE_REMOVED);
    rztest::CloseAttachedFile(file);
}

// NDIS unbinds a binding once. The adapter's removal has begun the unbind,
// which waits for a client's request to leave the open adapter, when the
// driver stops: the stop waits for that unbind rather than making another.
TEST_F(Lifecycle, TheStopWaitsForTheRemovalsPendingUnbindRatherThanUnbindingAgain)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    AdapterBinding *binding = relay.Lookup(nic);  // the client's attachment
    ASSERT_NE(binding, nullptr);
    nic.ScriptOid(OID_GEN_MAC_OPTIONS, sim::OidScript().Pend().Times(1));
    std::thread client([binding] {
        RelayReferenceOpen(binding);
        ULONG options = 0;
        UINT bytes = 0;
        EXPECT_EQ(RelayDoRequest(binding->BindingHandle, NdisRequestQueryInformation, OID_GEN_MAC_OPTIONS, &options,
                                 sizeof options, &bytes),
                  NDIS_STATUS_SUCCESS);
        RelayDereferenceOpen(binding);
    });
    EXPECT_TRUE(nic.WaitForPendedRequests(1, 5s));
    nic.BeginRemove();
    EXPECT_EQ(nic.LatestUnbind().handlerStatus, NDIS_STATUS_PENDING);

    rztest::Gate stopWaits;
    sim::SetHook("NdisDeregisterProtocol.unbinds", [&stopWaits] { stopWaits.Open(); });
    std::thread stop([&relay] { relay.Deregister(); });
    EXPECT_TRUE(stopWaits.Wait());
    EXPECT_EQ(nic.UnbindCount(), 1u);
    EXPECT_FALSE(nic.LatestUnbind().completed);

    EXPECT_TRUE(nic.CompletePendedRequest());
    client.join();
    stop.join();
    EXPECT_TRUE(nic.WaitRemoved(5s));
    EXPECT_EQ(nic.UnbindCount(), 1u);
    EXPECT_EQ(nic.LatestUnbind().completionStatus, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic.OpenCount(), 0u);
    EXPECT_EQ(relay.ListedCount(), 0u);
    EXPECT_EQ(RelayDereferenceBinding(binding), 0);
    EXPECT_EQ(RelayBlocks(), 0u);
}

// The same with the removal's unbind handler still running, stopped at its
// filter reset: the stop waits for it to end and complete.
TEST_F(Lifecycle, TheStopWaitsForTheRemovalsUnbindUnderWayRatherThanUnbindingAgain)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    rztest::Gate inUnbind;
    rztest::Gate resume;
    std::thread removal = RemovalStoppedAt(nic, "NdisRequest", inUnbind, resume);

    rztest::Gate stopWaits;
    sim::SetHook("NdisDeregisterProtocol.unbinds", [&stopWaits] { stopWaits.Open(); });
    std::thread stop([&relay] { relay.Deregister(); });
    EXPECT_TRUE(stopWaits.Wait());
    EXPECT_EQ(nic.UnbindCount(), 1u);
    EXPECT_FALSE(nic.LatestUnbind().handlerReturned);

    resume.Open();
    removal.join();
    stop.join();
    EXPECT_EQ(nic.UnbindCount(), 1u);
    EXPECT_EQ(nic.LatestUnbind().completionStatus, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic.OpenCount(), 0u);
    EXPECT_EQ(relay.ListedCount(), 0u);
}

// The removal's unbind has closed the adapter and not yet completed when the
// driver stops: with no open left to unbind, the stop still waits for that
// unbind to complete before it looks at the closes and goes on.
TEST_F(Lifecycle, TheStopWaitsForTheRemovalsUnbindPastItsClose)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    rztest::Gate closed;
    rztest::Gate resume;
    std::thread removal = RemovalStoppedAt(nic, "NdisCloseAdapter", closed, resume);
    // Taken, not necessarily done: with every request pended, NDIS may still
    // be ending the unbind's last request on its own thread, and the close
    // then pends behind it.
    EXPECT_NE(nic.LatestOpenState(), sim::OpenState::Open);

    rztest::Gate stopWaits;
    sim::SetHook("NdisDeregisterProtocol.unbinds", [&stopWaits] { stopWaits.Open(); });
    bool unbindCompletedFirst = false;
    sim::SetHook("NdisCloses.wait", [&] { unbindCompletedFirst = nic.LatestUnbind().completed; });
    std::thread stop([&relay] { relay.Deregister(); });
    EXPECT_TRUE(stopWaits.Wait());
    resume.Open();
    removal.join();
    stop.join();
    EXPECT_TRUE(unbindCompletedFirst);
    EXPECT_EQ(nic.UnbindCount(), 1u);
    EXPECT_EQ(relay.ListedCount(), 0u);
}

// The close's failure is not the unbind's: once the adapter is closed the
// unbind is done, and it completes with success.
TEST_F(Lifecycle, AFailedPendedCloseStillCompletesTheUnbindWithSuccess)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    nic.SetCloseCompletion(sim::Completion::Pended, NDIS_STATUS_FAILURE);
    nic.BeginRemove();
    EXPECT_FALSE(nic.LatestUnbind().completed);
    EXPECT_EQ(relay.ListedCount(), 1u);
    EXPECT_TRUE(nic.CompletePendedClose());
    EXPECT_TRUE(nic.WaitRemoved(5s));
    EXPECT_EQ(nic.LatestUnbind().completionStatus, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(relay.ListedCount(), 0u);
}

TEST_F(Lifecycle, LastOpenReferenceDroppedAtDispatchLevelClosesFromAWorkItem)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    AdapterBinding *binding = relay.Lookup(nic);
    ASSERT_NE(binding, nullptr);
    RelayReferenceOpen(binding);  // a receive transfer in progress

    nic.BeginRemove();
    EXPECT_FALSE(nic.LatestUnbind().completed);
    {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(RelayDereferenceOpen(binding), 0);
        // Another indication comes and goes before the close has run.
        RelayReferenceOpen(binding);
        RelayDereferenceOpen(binding);
    }
    EXPECT_TRUE(sim::WaitForWorkItems());
    EXPECT_TRUE(nic.WaitRemoved(5s));
    EXPECT_EQ(nic.LatestUnbind().completionStatus, NDIS_STATUS_SUCCESS);
    std::vector<NDIS_OID> oids = Oids(nic);
    EXPECT_EQ(std::count(oids.begin(), oids.end(), OID_GEN_CURRENT_PACKET_FILTER), 2);
    EXPECT_EQ(relay.ListedCount(), 0u);
    EXPECT_EQ(binding->RefCount, 1);
    RelayDereferenceBinding(binding);
}

// The unbind closed the adapter itself; the close waits for an indication in
// progress, whose transfer then takes an open reference, sees the unbind and
// leaves. Nothing may be queued for later: the unbind completes with the
// close, and the driver may be gone before a queued work item would run.
TEST_F(Lifecycle, AUserLeavingAtDispatchLevelAfterTheCloseQueuesNoWork)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    nic.SetCloseCompletion(sim::Completion::Pended);
    AdapterBinding *binding = relay.Lookup(nic);
    ASSERT_NE(binding, nullptr);
    bool workRan = false;
    sim::SetHook("IoWorkItem.run", [&workRan] { workRan = true; }, 0);

    nic.BeginRemove();
    EXPECT_EQ(nic.LatestOpenState(), sim::OpenState::Closing);
    {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        RelayReferenceOpen(binding);
        EXPECT_NE(binding->Flags, 0);
        EXPECT_EQ(RelayDereferenceOpen(binding), 0);
    }
    EXPECT_TRUE(sim::WaitForWorkItems());
    EXPECT_FALSE(workRan);
    EXPECT_TRUE(nic.CompletePendedClose());
    EXPECT_TRUE(nic.WaitRemoved(5s));
    std::vector<NDIS_OID> oids = Oids(nic);
    EXPECT_EQ(std::count(oids.begin(), oids.end(), OID_GEN_CURRENT_PACKET_FILTER), 2);
    RelayDereferenceBinding(binding);
}

// Right after the unbind dropped the last open reference, an indication's
// transfer takes one, sees the unbind and drops it at DISPATCH_LEVEL, and its
// close runs and completes the unbind before the unbind handler goes on: the
// record must still be there for the handler.
TEST_F(Lifecycle, ACloseCompletedElsewhereLeavesTheRecordToTheUnbindHandler)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    AdapterBinding *binding = relay.Lookup(nic);
    ASSERT_NE(binding, nullptr);
    RelayDereferenceBinding(binding);
    bool overtaken = false;
    bool recordAlive = false;
    sim::SetHook("Interlocked", [&] {
        if (overtaken || binding->OpenRefCount != 0 || (binding->Flags & BINDING_UNBINDING) == 0) {
            return;
        }
        overtaken = true;
        {
            sim::ScopedIrql dispatch(DISPATCH_LEVEL);
            RelayReferenceOpen(binding);
            RelayDereferenceOpen(binding);
        }
        EXPECT_TRUE(sim::WaitForWorkItems());
        recordAlive = sim::PoolBytesFrom(binding).has_value();
    }, 0);

    nic.BeginRemove();
    sim::ClearHooks();
    EXPECT_TRUE(overtaken);
    EXPECT_TRUE(recordAlive);
    EXPECT_TRUE(nic.WaitRemoved(5s));
    EXPECT_EQ(relay.ListedCount(), 0u);
    EXPECT_EQ(RelayBlocks(), 0u);
}

TEST_F(Lifecycle, PowerEventsAreKeptAndOtherEventsAcknowledged)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    AdapterBinding *binding = relay.Lookup(nic);
    ASSERT_NE(binding, nullptr);
    auto state = [](LONG value) {
        std::vector<uint8_t> bytes(sizeof value);
        memcpy(bytes.data(), &value, sizeof value);
        return bytes;
    };
    EXPECT_EQ(nic.IndicatePnPEvent(NetEventSetPower, state(NdisDeviceStateD3)), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(binding->PowerState, NdisDeviceStateD3);
    EXPECT_EQ(sim::IndicateGlobalPnPEvent(NetEventSetPower, state(NdisDeviceStateD0)),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(binding->PowerState, NdisDeviceStateD3);
    for (int code = NetEventQueryPower; code <= NetEventPnPCapabilities; ++code) {
        EXPECT_EQ(nic.IndicatePnPEvent(static_cast<NET_PNP_EVENT_CODE>(code)), NDIS_STATUS_SUCCESS);
    }
    EXPECT_EQ(nic.IndicatePnPEvent(static_cast<NET_PNP_EVENT_CODE>(8)), NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(nic.IndicatePnPEvent(static_cast<NET_PNP_EVENT_CODE>(-1)), NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(nic.IndicatePnPEvent(NetEventSetPower, state(NdisDeviceStateD0)), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(binding->PowerState, NdisDeviceStateD0);
    RelayDereferenceBinding(binding);
}

// The new state is four bytes; an event with fewer is refused with a clear
// status and is never read past its end.
TEST_F(Lifecycle, APowerEventTooShortForAStateChangesNothing)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    AdapterBinding *binding = relay.Lookup(nic);
    ASSERT_NE(binding, nullptr);
    for (const std::vector<uint8_t> &buffer :
         {std::vector<uint8_t>{}, std::vector<uint8_t>{NdisDeviceStateD3, 0}, std::vector<uint8_t>{NdisDeviceStateD3, 0, 0}}) {
        EXPECT_EQ(nic.IndicatePnPEvent(NetEventSetPower, buffer), NDIS_STATUS_INVALID_LENGTH) << buffer.size();
        EXPECT_EQ(binding->PowerState, NdisDeviceStateD0);
    }
    RelayDereferenceBinding(binding);
}

TEST_F(Lifecycle, ProtocolUnloadOnlyMarksTheBindings)
{
    rztest::RelayProtocol relay;
    sim::Adapter nic = sim::AddAdapter();
    AdapterBinding *binding = relay.Lookup(nic);
    ASSERT_NE(binding, nullptr);
    sim::NotifyProtocolUnload(relay.Handle());
    EXPECT_EQ(binding->Flags, BINDING_UNLOADING);
    EXPECT_EQ(relay.ListedCount(), 1u);
    EXPECT_EQ(nic.OpenCount(), 1u);
    RelayDereferenceBinding(binding);

    // Deregistration unbinds what is left.
    relay.Deregister();
    EXPECT_EQ(nic.LatestUnbind().completionStatus, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic.OpenCount(), 0u);
}

}  // namespace
