// The whole driver through handles only, as a user-mode client and the
// network stack use it: open, attach, read, write, query, set and wait, then
// the adapter goes or the driver stops.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <thread>

#include "control/relay_ioctl.h"
#include "sim/hooks.h"
#include "tests/support/control_client.h"
#include "tests/support/gate.h"
#include "tests/support/loaded_driver.h"

namespace {

using Frame = std::vector<uint8_t>;
using rztest::FinalStatusOf;
using rztest::ReadBytes;

const Frame kStationAddress = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};

Frame EthernetFrame(size_t length, uint16_t type, uint8_t seed = 0)
{
    Frame frame(length, seed);
    std::copy(kStationAddress.begin(), kStationAddress.end(), frame.begin());
    frame[12] = static_cast<uint8_t>(type >> 8);
    frame[13] = static_cast<uint8_t>(type);
    return frame;
}

Frame EapolFrame(size_t length, uint8_t seed = 0)
{
    return EthernetFrame(length, 0x888E, seed);
}

class WholeDriver : public rztest::LoadedDriverTest {
protected:
    static Frame Oid(NDIS_OID oid, const Frame &value = {})
    {
        Frame input = rztest::Bytes(static_cast<ULONG>(oid));
        input.insert(input.end(), value.begin(), value.end());
        return input;
    }
};

TEST_F(WholeDriver, OneClientOnOneAdapterFromAttachToUnbind)
{
    sim::Adapter nic = AddAdapter(u"\\Device\\{NIC}");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::ClientHandle handle = AttachedHandle(nic);

    sim::ControlRequest wait = handle.Control(IOCTL_RELAY_WAIT_STATUS, rztest::Bytes(NDIS_STATUS_MEDIA_CONNECT), 8);
    sim::Request read = handle.Read(1514);
    EXPECT_FALSE(wait.Completed());
    EXPECT_FALSE(read.Completed());

    nic.IndicateStatus(NDIS_STATUS_MEDIA_CONNECT);
    EXPECT_EQ(FinalStatusOf(wait), STATUS_SUCCESS);

    nic.IndicateReceive(EthernetFrame(60, 0x0800));
    EXPECT_FALSE(read.Completed());
    Frame eapol = EapolFrame(64);
    nic.IndicateReceive(eapol);
    ASSERT_EQ(FinalStatusOf(read), STATUS_SUCCESS);
    EXPECT_EQ(ReadBytes(read), eapol);

    Frame outgoing = EapolFrame(60, 7);
    sim::Request write = handle.Write(outgoing);
    EXPECT_EQ(FinalStatusOf(write), STATUS_SUCCESS);
    EXPECT_EQ(write.FinalStatus().Information, outgoing.size());
    ASSERT_EQ(nic.SentFrames().size(), 1u);
    EXPECT_EQ(nic.SentFrames()[0], outgoing);

    sim::ControlRequest query = handle.Control(IOCTL_RELAY_QUERY_OID, Oid(OID_802_3_CURRENT_ADDRESS), 6);
    EXPECT_EQ(FinalStatusOf(query), STATUS_SUCCESS);
    EXPECT_EQ(query.Returned(), kStationAddress);

    sim::ControlRequest set = handle.Control(IOCTL_RELAY_SET_OID, Oid(OID_GEN_CURRENT_PACKET_FILTER, rztest::Bytes(0x1u)), 0);
    EXPECT_EQ(FinalStatusOf(set), STATUS_SUCCESS);
    EXPECT_EQ(nic.Requests().back().oid, static_cast<NDIS_OID>(OID_GEN_CURRENT_PACKET_FILTER));

    sim::Request pending = handle.Read(1514);
    sim::ControlRequest disconnect = handle.Control(IOCTL_RELAY_WAIT_STATUS, rztest::Bytes(NDIS_STATUS_MEDIA_DISCONNECT), 8);
    ASSERT_TRUE(nic.Remove());
    EXPECT_EQ(FinalStatusOf(pending), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(FinalStatusOf(disconnect), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(FinalStatusOf(handle.Write(outgoing)), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(WholeDriver, SeveralClientsOnSeveralAdaptersUntilTheDriverStops)
{
    sim::Adapter first = AddAdapter(u"\\Device\\{NIC-1}");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::Adapter second = AddAdapter(u"\\Device\\{NIC-2}");
    sim::ClientHandle a1 = AttachedHandle(first);
    sim::ClientHandle a2 = AttachedHandle(first);
    sim::ClientHandle b = AttachedHandle(second);

    sim::Request readA1 = a1.Read(1514);
    sim::Request readA2 = a2.Read(20);
    sim::Request readB = b.Read(1514);
    Frame frame = EapolFrame(100);
    first.IndicateReceive(frame);
    // Each reader of the first adapter gets its own copy, cut to its length.
    EXPECT_EQ(ReadBytes(readA1), frame);
    EXPECT_EQ(ReadBytes(readA2), Frame(frame.begin(), frame.begin() + 20));
    EXPECT_FALSE(readB.Completed());

    b.Write(EapolFrame(60));
    EXPECT_EQ(second.SentFrames().size(), 1u);
    EXPECT_TRUE(first.SentFrames().empty());

    // A client cancels its own read; the others keep theirs.
    sim::Request cancelled = a1.Read(1514);
    a1.CancelIo();
    EXPECT_EQ(FinalStatusOf(cancelled), STATUS_CANCELLED);

    // The stop unbinds both adapters under the clients' pending requests;
    // the driver unloads once the last handle has closed.
    sim::Request waitB = b.Control(IOCTL_RELAY_WAIT_STATUS, rztest::Bytes(NDIS_STATUS_MEDIA_DISCONNECT), 8);
    EXPECT_FALSE(Stop());
    EXPECT_EQ(FinalStatusOf(readB), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(FinalStatusOf(waitB), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(first.LatestUnbind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(second.LatestUnbind().Result(), NDIS_STATUS_SUCCESS);
    a1.Close();
    a2.Close();
    EXPECT_FALSE(Driver().Unloaded());
    b.Close();
    EXPECT_TRUE(Driver().WaitUnloaded());
}

TEST_F(WholeDriver, GroupAddressedEapolArrivesOnlyOnceTheClientJoinsThePaeGroup)
{
    sim::Adapter nic = AddAdapter(u"\\Device\\{NIC}");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::ClientHandle handle = AttachedHandle(nic);
    const Frame pae = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x03};
    Frame toGroup = EapolFrame(60, 3);
    std::copy(pae.begin(), pae.end(), toGroup.begin());
    sim::Request read = handle.Read(1514);
    auto set = [&](NDIS_OID oid, const Frame &value) {
        return FinalStatusOf(handle.Control(IOCTL_RELAY_SET_OID, Oid(oid, value), 0));
    };

    nic.IndicateReceive(toGroup);
    EXPECT_FALSE(read.Completed()) << "the driver's own filter takes directed frames only";
    ASSERT_EQ(set(OID_802_3_MULTICAST_LIST, pae), STATUS_SUCCESS);
    nic.IndicateReceive(toGroup);
    EXPECT_FALSE(read.Completed()) << "on the list, but the filter lacks the multicast bit";
    ASSERT_EQ(set(OID_GEN_CURRENT_PACKET_FILTER,
                  rztest::Bytes(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST)),
              STATUS_SUCCESS);
    nic.IndicateReceive(toGroup);
    EXPECT_EQ(ReadBytes(read), toGroup);

    sim::ControlRequest list = handle.Control(IOCTL_RELAY_QUERY_OID, Oid(OID_802_3_MULTICAST_LIST), 12);
    EXPECT_EQ(FinalStatusOf(list), STATUS_SUCCESS);
    EXPECT_EQ(list.Returned(), pae);
    Frame tooMany;
    for (uint8_t group = 0; group <= 32; ++group) {
        tooMany.insert(tooMany.end(), {0x01, 0x00, 0x5E, 0x00, 0x00, group});
    }
    EXPECT_EQ(set(OID_802_3_MULTICAST_LIST, tooMany), static_cast<NTSTATUS>(0xC0230009))
        << "NDIS_STATUS_MULTICAST_FULL in the NDIS facility";
}

TEST_F(WholeDriver, CancelIoEndsOnlyTheCallingThreadsRequestsAndAThreadsExitEndsItsOwn)
{
    sim::Adapter nic = AddAdapter(u"\\Device\\{NIC}");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::ClientHandle handle = AttachedHandle(nic);
    sim::Request mine = handle.Read(1514);
    std::optional<sim::Request> theirs;
    std::promise<void> issued;
    std::promise<void> mayExit;
    std::thread other([&] {
        theirs = handle.Read(1514);
        issued.set_value();
        mayExit.get_future().wait_for(sim::kWaitLimit);
    });
    ASSERT_EQ(issued.get_future().wait_for(sim::kWaitLimit), std::future_status::ready);

    handle.CancelIo();
    EXPECT_EQ(FinalStatusOf(mine), STATUS_CANCELLED);
    EXPECT_FALSE(theirs->Completed()) << "another thread's read goes on";
    mayExit.set_value();
    other.join();
    EXPECT_EQ(FinalStatusOf(*theirs), STATUS_CANCELLED) << "its thread has ended";
}

TEST_F(WholeDriver, ClosingAHandleWithARequestPendingCompletesItAndThenCloses)
{
    sim::Adapter nic = AddAdapter(u"\\Device\\{NIC}");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::ClientHandle handle = AttachedHandle(nic);
    sim::Request read = handle.Read(1514);
    handle.Close();
    EXPECT_EQ(FinalStatusOf(read), STATUS_CANCELLED);
    EXPECT_TRUE(sim::WaitForDeferredCloses());
    EXPECT_EQ(sim::OpenFileCount(Driver().Object()), 0u);
}

// A long-running host closes handles with reads pending all day: the threads
// that sent those closes are not kept.
TEST_F(WholeDriver, DeferredClosesKeepNoThreadOnceSent)
{
    sim::Adapter nic = AddAdapter(u"\\Device\\{NIC}");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    for (int i = 0; i < 20; ++i) {
        sim::ClientHandle handle = AttachedHandle(nic);
        sim::Request read = handle.Read(1514);
        handle.Close();
        EXPECT_EQ(FinalStatusOf(read), STATUS_CANCELLED);
        ASSERT_TRUE(sim::WaitForDeferredCloses());
        EXPECT_LE(sim::CloserThreadsKept(), 1u);
    }
}

// The receive path drops the last open reference at DISPATCH_LEVEL, so the
// close runs from a work item, completes the unbind, and then still drops
// the last reference to the record. Here the driver stops and unloads right
// there, while that routine has not returned: its code must still be there
// for it, and the stop must not end before it has returned.
TEST_F(WholeDriver, TheCloseWorkerMayOutliveTheUnbindItReportsUntilTheDriverIsGone)
{
    sim::Adapter nic = AddAdapter(u"\\Device\\{NIC}");
    ASSERT_EQ(Load(), STATUS_SUCCESS);

    std::atomic<std::thread::id> worker{};
    std::atomic<bool> unbindReported{false};
    std::atomic<bool> held{false};
    rztest::Gate holding;
    rztest::Gate indicated;
    rztest::Gate unloaded;
    // The close waits for the indication to have returned, so the worker
    // starts after it and closes the adapter at once.
    auto recordWorker = [&worker, &indicated] {
        worker = std::this_thread::get_id();
        EXPECT_TRUE(indicated.Wait());
    };
    sim::SetHook("IoWorkItem.run", recordWorker);
    sim::SetHook("NdisCompleteUnbindAdapter", [&] { unbindReported = worker == std::this_thread::get_id(); });
    // The worker freeing the record after it reported the unbind.
    sim::SetHook("NdisFreeMemory", [&] {
        if (worker == std::this_thread::get_id() && unbindReported && !held.exchange(true)) {
            holding.Open();
            EXPECT_TRUE(unloaded.Wait());
        }
    }, 0);
    sim::SetHook("NdisTransferData", [&nic] { std::thread([&nic] { nic.BeginRemove(); }).join(); });

    nic.IndicateReceive(EapolFrame(100), {.lookahead = 10});
    indicated.Open();
    ASSERT_TRUE(nic.WaitRemoved(sim::kWaitLimit));
    std::atomic<bool> stopReturned{false};
    std::thread stopper([&] {
        EXPECT_TRUE(Stop());
        stopReturned = true;
    });
    // The unbind reported, the stop may unload the driver before or after the
    // worker comes to free the record; either way the stop is not over
    // while the worker runs.
    EXPECT_TRUE(holding.Wait());
    EXPECT_TRUE(Driver().WaitUnloaded());
    EXPECT_FALSE(stopReturned);
    unloaded.Open();
    stopper.join();
    sim::ClearHooks();
}

// A failed bind whose close pends when the driver stops: the handler has
// returned the failure, but the close's completion handler is the driver's
// code still to run. The stop waits for it; the close completes right there.
TEST_F(WholeDriver, TheStopWaitsForAFailedBindsPendedClose)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::AdapterConfig config;
    config.name = u"\\Device\\{NIC}";
    sim::Adapter nic = sim::CreateAdapter(config);
    nic.ScriptOid(OID_GEN_CURRENT_PACKET_FILTER, sim::OidScript::Fail(NDIS_STATUS_ADAPTER_NOT_READY).Times(1));
    nic.SetCloseCompletion(sim::Completion::Pended);
    nic.Arrive();
    EXPECT_EQ(nic.LatestBind().Result(), NDIS_STATUS_ADAPTER_NOT_READY);
    ASSERT_TRUE(nic.WaitForPendedCloses(1, sim::kWaitLimit));
    bool completedInTheWait = false;
    sim::SetHook("NdisCloses.wait", [&] { completedInTheWait = nic.CompletePendedClose(); });
    EXPECT_TRUE(Stop());
    EXPECT_TRUE(completedInTheWait);
    EXPECT_FALSE(nic.CompletePendedClose());
    EXPECT_EQ(nic.OpenCount(), 0u);
}

}  // namespace
