// The NDIS side of the sim as tests see it: simulated adapters with knobs,
// and the network stack's own moves (offering adapters, removing them,
// plug-and-play events, protocol unload). Everything a protocol calls is the
// platform's own interface (platform/ndis*.h); this header is for tests.
//
// The stack calls bind, unbind, plug-and-play and unload handlers at
// PASSIVE_LEVEL in the thread of the test call that causes them, open and
// close completions at PASSIVE_LEVEL and request completions at
// DISPATCH_LEVEL, in the thread that completes the pended work.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ndis_protocol.h"
#include "sim/ndis_traffic.h"

namespace sim {

class Wire;

// How an adapter finishes an open, close or request: before the call
// returns, or later when the test completes it (Adapter::CompletePended...).
enum class Completion { Immediate, Pended };

// A scripted answer to the requests for one OID.
struct OidScript {
    // A failure answers every matching request with this status.
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    // A query's answer instead of the adapter's own.
    std::optional<std::vector<uint8_t>> data;
    // BytesWritten (query) or BytesRead (set) to report instead of the real count.
    std::optional<UINT> bytes;
    UINT bytesNeeded = 0;
    Completion completion = Completion::Immediate;
    // How many requests it answers before the adapter's own answers return; 0: all.
    unsigned times = 0;

    static OidScript Fail(NDIS_STATUS failure)
    {
        OidScript script;
        script.status = failure;
        return script;
    }
    static OidScript Answer(std::vector<uint8_t> answer)
    {
        OidScript script;
        script.data = std::move(answer);
        return script;
    }
    OidScript &Pend()
    {
        completion = Completion::Pended;
        return *this;
    }
    OidScript &Report(UINT count)
    {
        bytes = count;
        return *this;
    }
    OidScript &Times(unsigned count)
    {
        times = count;
        return *this;
    }
};

constexpr size_t kMacLength = 6;
using MacAddress = std::array<uint8_t, kMacLength>;

struct AdapterConfig {
    std::u16string name = u"\\Device\\{SIM-NIC-0}";
    NDIS_MEDIUM medium = NdisMedium802_3;
    MacAddress stationAddress = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
    // OID_GEN_MAC_OPTIONS, as they are true of the sim: lookahead buffers the
    // protocol may copy as it likes, loopback left to NDIS. Not
    // NDIS_MAC_OPTION_TRANSFERS_NOT_PEND, since transfers may be scripted to
    // pend (an adapter that claims it refuses such a script), nor
    // NDIS_MAC_OPTION_RECEIVE_SERIALIZED, since tests indicate from any thread.
    ULONG macOptions = NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_NO_LOOPBACK;
    // OID_GEN_MAXIMUM_TOTAL_SIZE: the longest frame, header included, the
    // adapter sends; a longer one fails with NDIS_STATUS_INVALID_PACKET.
    ULONG maximumTotalSize = 1514;
    // OID_802_3_MAXIMUM_LIST_SIZE: the multicast addresses the hardware holds,
    // for all opens together.
    ULONG multicastListSize = 32;
    // Every request returns NDIS_STATUS_PENDING and completes later on NDIS's
    // own thread, as any request may on Windows (those scripted to pend
    // still wait for the test). REZEZURA_PEND_REQUESTS=1 in the environment
    // sets it for every adapter.
    bool requestsPend = false;
    // The medium behind the adapter (sim/wire.h); none: the scripted wire of tests.
    std::shared_ptr<Wire> wire = nullptr;
};

// What the adapter's hardware must let in for all its opens together: the
// OR of their packet filters and every address on their multicast lists.
struct ReceiveFilter {
    ULONG packetFilter = 0;
    std::vector<MacAddress> multicast;
};

enum class OpenState { Opening, Open, Closing, Closed, Failed };

// One request as the adapter saw it.
struct RequestRecord {
    NDIS_REQUEST_TYPE type;
    NDIS_OID oid;
    NDIS_STATUS status;  // PENDING until the request completed
    ULONG setValue;      // the first four bytes of a set's buffer
    UINT length = 0;     // the InformationBufferLength the protocol offered
};

// What the stack saw of one bind or unbind.
struct HandlerOutcome {
    bool handlerReturned = false;
    NDIS_STATUS handlerStatus = NDIS_STATUS_PENDING;
    bool completed = false;  // NdisCompleteBindAdapter / NdisCompleteUnbindAdapter made
    bool completedInsideHandler = false;
    NDIS_STATUS completionStatus = 0;
    NDIS_STATUS openErrorStatus = 0;
    // The result the stack takes: the handler's final status, or the completion's.
    std::optional<NDIS_STATUS> Result() const;
};

struct AdapterState;

// A simulated adapter: a cheap handle, valid until the world is reset.
class Adapter {
public:
    const std::u16string &Name() const;

    // Knobs.
    void SetOpenCompletion(Completion completion, NDIS_STATUS status = NDIS_STATUS_SUCCESS,
                           NDIS_STATUS openErrorStatus = NDIS_STATUS_SUCCESS);
    void SetCloseCompletion(Completion completion, NDIS_STATUS status = NDIS_STATUS_SUCCESS);
    void ScriptOid(NDIS_OID oid, const OidScript &script);
    void ClearOidScripts();

    // Pended work, oldest first; each returns false when there was none.
    // Completing an open runs OpenAdapterCompleteHandler; a request (the
    // oldest scripted to pend, once the adapter has answered those ahead of
    // it), RequestCompleteHandler; a close, CloseAdapterCompleteHandler once
    // nothing else is in flight on the open. Hook point "NdisCloseAdapter": the close
    // has been taken, done or pended, and is about to return its status.
    bool CompletePendedOpen();
    bool CompletePendedRequest();
    bool CompletePendedClose();
    // Requests scripted to pend that the test has not completed.
    size_t PendedRequestCount() const;
    // Waits until at least `count` such requests were made; false on time-out.
    bool WaitForPendedRequests(size_t count, std::chrono::milliseconds timeout) const;
    // Waits until at least `count` closes are pended; false on time-out.
    bool WaitForPendedCloses(size_t count, std::chrono::milliseconds timeout) const;

    // What the adapter saw.
    size_t OpenCount() const;  // opens neither closed nor failed
    std::optional<OpenState> LatestOpenState() const;
    ULONG PacketFilter() const;     // of the latest open
    ULONG ProtocolOptions() const;  // of the latest open
    std::vector<MacAddress> MulticastList() const;  // of the latest open
    ReceiveFilter CombinedFilter() const;           // of the opens not closed
    std::vector<RequestRecord> Requests() const;  // since the last ForgetRequests
    // Forgets the records of the requests answered so far, up to the first
    // still waiting for its answer: a long run of requests keeps its memory bounded.
    void ForgetRequests();
    HandlerOutcome LatestBind() const;
    HandlerOutcome LatestUnbind() const;
    // Unbind handler calls the stack made on the adapter, for every protocol.
    size_t UnbindCount() const;
    bool WaitBindCompleted(std::chrono::milliseconds timeout) const;

    // The stack removes the adapter: every protocol bound to it is asked to
    // unbind (UnbindAdapterHandler) in this thread; WaitRemoved waits for the
    // unbinds to complete. Remove does both. Hook point
    // "UnbindAdapterHandler.returned": after each unbind handler's return,
    // here and in every other unbind the stack makes (a driver's stop,
    // NdisDeregisterProtocol). A binding is unbound once: a removal that
    // finds its unbind made already by another road waits for that one.
    void BeginRemove();
    bool WaitRemoved(std::chrono::milliseconds timeout);
    bool Remove(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The same two moves as the stack makes them on Windows: on a system
    // worker thread at PASSIVE_LEVEL rather than in the caller's, so that a
    // protocol that pends its bind or unbind holds up nobody. BeginArrival
    // is Arrive there, BeginRemoval is Remove there (each unbind once its
    // bind has completed). `settled` is told once every bind or unbind the
    // move started has completed, at once when it started none, as the
    // plug-and-play manager hears that the device started or is gone: on
    // whichever thread completed the last of them, maybe inside a
    // protocol's call, with no lock of the sim held; it must neither block
    // nor call into the sim.
    void BeginArrival(std::function<void()> settled);
    void BeginRemoval(std::function<void()> settled);

    // A plug-and-play event for each protocol bound to the adapter; returns the
    // last handler's status (NDIS_STATUS_SUCCESS when none is bound).
    NDIS_STATUS IndicatePnPEvent(NET_PNP_EVENT_CODE code, std::vector<uint8_t> buffer = {});

    // The stack sets the adapter's power state, as the power manager asks:
    // below D0 the protocols hear of it (NetEventSetPower) and then the
    // adapter powers down, and requests and sends made on it are held; back
    // at D0 the held work goes to the adapter in order and then the
    // protocols hear of it. The adapter's removal fails what it still holds
    // with NDIS_STATUS_ADAPTER_REMOVED, as it does whatever is made after.
    // Returns the last handler's status.
    NDIS_STATUS SetPower(NDIS_DEVICE_POWER_STATE state);
    NDIS_DEVICE_POWER_STATE Power() const;

    // The adapter reports a general status with its status buffer (NULL when
    // empty) to every open on it, as a miniport's status indication and its
    // completion: StatusHandler on each open, then StatusCompleteHandler on
    // each, at DISPATCH_LEVEL in the calling thread, which may be any. An open
    // whose close was called gets none, and its close waits for those in
    // progress. Hook point "NdisIndicateStatus": the indication has started on
    // its opens, no handler has run yet.
    void IndicateStatus(NDIS_STATUS status, std::vector<uint8_t> buffer = {});

    // The adapter appears to the stack and is offered to every registered protocol.
    void Arrive();

    // Traffic (sim/ndis_traffic.h). Each indication returns the handlers'
    // results, one per open that got the frame.
    std::vector<NDIS_STATUS> IndicateReceive(const std::vector<uint8_t> &frame,
                                             const ReceiveShape &shape = {});
    std::vector<NDIS_STATUS> IndicateReceiveBatch(const std::vector<std::vector<uint8_t>> &frames,
                                                  const ReceiveShape &shape = {});
    std::vector<INT> IndicatePacket(const std::vector<uint8_t> &frame, const PacketShape &shape = {});
    void SetTransferCompletion(const TransferScript &script);
    size_t PendedTransferCount() const;
    // Finishes the oldest pended transfer with the outcome scripted when it
    // pended, or with `status`; false when none is pended.
    bool CompletePendedTransfer(std::optional<NDIS_STATUS> status = std::nullopt);
    void SetSendCompletion(const SendScript &script);
    size_t PendedSendCount() const;
    bool WaitForPendedSends(size_t count, std::chrono::milliseconds timeout) const;
    // Finishes the pended send at `index` (0: the oldest) with its scripted
    // status, or with `status`; false when there is no such send.
    bool CompletePendedSend(size_t index = 0, std::optional<NDIS_STATUS> status = std::nullopt);
    // The bytes of every packet the adapter took, in the order their sends
    // completed, read from the packet at its completion (none recorded for
    // an adapter with a wire: they went to the medium).
    std::vector<std::vector<uint8_t>> SentFrames() const;
    // Forgets the frames taken so far: a long run of sends keeps its memory bounded.
    void ForgetSentFrames();

    // A frame the adapter's wire received, indicated as header plus the whole
    // rest as lookahead; a data transfer copies from the bytes given.
    void DeliverFrame(std::shared_ptr<const std::vector<uint8_t>> frame);

private:
    friend Adapter CreateAdapter(const AdapterConfig &config);
    explicit Adapter(AdapterState *state) : state_(state) {}
    AdapterState *state_;
};

// True when REZEZURA_PEND_REQUESTS=1 makes every adapter pend every request.
bool AdaptersPendEveryRequest();
// Waits until NDIS's own thread, where it completes what it queued, has
// nothing queued or running; false when `limit` ran out first.
bool WaitForNdisWork(std::chrono::milliseconds limit = std::chrono::seconds(5));

// A new adapter, to be given its knobs before it arrives.
Adapter CreateAdapter(const AdapterConfig &config = {});
// A new adapter that arrives at once.
Adapter AddAdapter(const AdapterConfig &config = {});

// Forgets every adapter removed and done with (its opens closed, its binds
// and unbinds completed, nothing of the stack's or its own under way on
// it), with its opens and calls, so that a long run of adapters coming and
// going keeps its memory bounded; its wire goes with it. A forgotten
// adapter's handle must not be used again, and a binding handle of one of
// its opens is an unknown handle, as after its close.
void ForgetRemovedAdapters();
// Adapters the stack still keeps records of, forgotten ones aside.
size_t KnownAdapterCount();

// A plug-and-play event that concerns no adapter (NULL binding context),
// given to every registered protocol; returns the last handler's status.
NDIS_STATUS IndicateGlobalPnPEvent(NET_PNP_EVENT_CODE code, std::vector<uint8_t> buffer = {});

// The NDIS version the stack implements (5.0 unless set). A stack older
// than the version a protocol registers for refuses it with
// NDIS_STATUS_BAD_VERSION, as NDIS 4 refuses an NDIS 5 protocol.
void SetStackNdisVersion(UCHAR major, UCHAR minor);

// The stack is about to unload the protocol: its UnloadHandler, if it has
// one. Windows calls it once every binding of the protocol is unbound, as
// Driver::Stop does; a test of the handler alone may call it sooner.
void NotifyProtocolUnload(NDIS_HANDLE protocol);

// The world's bookkeeping (sim/world.cpp).
void ResetNdis();
void AppendNdisLeaks(std::vector<std::string> &leaks);

}  // namespace sim
