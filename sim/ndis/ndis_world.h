// The sim's NDIS records: registered protocols, adapters, opens and the binds
// and unbinds in progress, under one lock. Shared by the sim's NDIS sources;
// handlers are never called with the lock held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ndis_open.h"
#include "sim/ndis.h"
#include "sim/ndis/ndis_traffic_state.h"

namespace sim {

struct ProtocolRecord {
    NDIS50_PROTOCOL_CHARACTERISTICS characteristics{};
    std::u16string name;
    bool registered = true;
};

// Work the adapter has accepted on an open and not finished. A close waits
// for all of it; once the close is called nothing new starts.
enum class Activity { Indication, Transfer, Send, Request, Count };

struct OpenRecord {
    NDIS_OPEN_BLOCK block{};  // first: the binding handle is the block's address
    ProtocolRecord *protocol = nullptr;
    AdapterState *adapter = nullptr;
    OpenState state = OpenState::Opening;
    ULONG packetFilter = 0;
    ULONG protocolOptions = 0;
    std::vector<MacAddress> multicast;  // OID_802_3_MULTICAST_LIST, each address once
    unsigned inFlight[static_cast<int>(Activity::Count)] = {};
    bool closePended = false;    // NdisCloseAdapter returned NDIS_STATUS_PENDING
    bool closeReleased = false;  // the adapter has done its part of the close
    bool closeEnded = false;     // NdisCloseAdapter returned its status, or the completion handler did
    NDIS_STATUS closeStatus = NDIS_STATUS_SUCCESS;
    NDIS_STATUS openStatus = NDIS_STATUS_SUCCESS;  // of a pended open
    NDIS_STATUS openErrorStatus = NDIS_STATUS_SUCCESS;
};

// One bind or unbind handler call and its completion.
struct HandlerCall {
    AdapterState *adapter = nullptr;
    ProtocolRecord *protocol = nullptr;
    OpenRecord *open = nullptr;  // the open being unbound
    bool isBind = true;
    bool inHandler = false;
    std::thread::id handlerThread;
    HandlerOutcome outcome;
};

// One of the stack's own moves on an adapter, its arrival or its removal,
// made on a system worker thread: the binds or unbinds it started, and whom
// to tell once every one of them has completed.
struct StackMove {
    std::vector<HandlerCall *> calls;
    std::function<void()> settled;
    bool started = false;  // every handler of the move has been called
};

// A request NDIS holds for the adapter, which takes one at a time.
struct QueuedRequest {
    OpenRecord *open;
    PNDIS_REQUEST request;
    std::optional<OidScript> script;
    size_t logIndex;  // its record's place, counted from the adapter's first request
    bool byTest;  // scripted to pend: answered when the test completes it
};

struct AdapterState {
    AdapterConfig config;
    Completion openCompletion = Completion::Immediate;
    NDIS_STATUS openStatus = NDIS_STATUS_SUCCESS;
    NDIS_STATUS openErrorStatus = NDIS_STATUS_SUCCESS;
    Completion closeCompletion = Completion::Immediate;
    NDIS_STATUS closeStatus = NDIS_STATUS_SUCCESS;
    std::map<NDIS_OID, OidScript> scripts;
    std::vector<OpenRecord *> opens;
    std::deque<OpenRecord *> pendedOpens;
    std::deque<OpenRecord *> pendedCloses;
    // Requests issued and not yet answered, oldest first; the first is the
    // one at the adapter.
    std::deque<QueuedRequest> requestQueue;
    // A request is at the adapter, or its completion is under way.
    bool requestBusy = false;
    std::vector<RequestRecord> requests;
    size_t requestsForgotten = 0;  // records let go of ahead of `requests` (Adapter::ForgetRequests)
    std::vector<HandlerCall *> binds;
    std::vector<HandlerCall *> unbinds;
    bool present = false;  // arrived and not yet being removed
    // Below D0 the adapter takes no request and no send: NDIS holds them,
    // hands them over once it is back at D0, and fails them when the adapter
    // is removed first.
    NDIS_DEVICE_POWER_STATE power = NdisDeviceStateD0;
    TrafficState traffic;
    std::vector<HandlerCall *> removalUnbinds;
    unsigned movesUnderWay = 0;  // stack moves on it queued or running their handlers
};

struct NdisWorld {
    std::mutex lock;
    std::condition_variable changed;  // any completion, for bounded waits
    std::vector<std::unique_ptr<ProtocolRecord>> protocols;
    std::vector<std::unique_ptr<AdapterState>> adapters;
    std::vector<std::unique_ptr<OpenRecord>> opens;
    std::vector<std::unique_ptr<HandlerCall>> calls;
    std::vector<std::unique_ptr<StackMove>> moves;
    UCHAR stackMajorVersion = 5;
    UCHAR stackMinorVersion = 0;
};

NdisWorld &World();

// NDIS_STATUS_ADAPTER_REMOVED: what held requests and sends end with when
// their adapter goes while below D0.
constexpr NDIS_STATUS kAdapterRemoved = static_cast<NDIS_STATUS>(0xC0010018L);

// The record of a request by its place. Call with the lock held.
RequestRecord &LoggedRequest(AdapterState &adapter, size_t logIndex);

// The adapter takes the next queued request, if it can. Call with the lock held.
void ResumeRequests(AdapterState &adapter);
// Completes every queued request with `status`, in order. Call without the lock.
void FailQueuedRequests(AdapterState *adapter, NDIS_STATUS status);

// The open a binding handle names, or nullptr after reporting a bad handle.
// Call with the world's lock held.
OpenRecord *FindOpen(NDIS_HANDLE handle, const char *caller);
ProtocolRecord *FindProtocol(NDIS_HANDLE handle);

// Starts one piece of work on an open; false once its close was called, when
// nothing new may start. Call with the world's lock held.
bool BeginActivity(OpenRecord *open, Activity kind);
// Ends one; returns true when that let a pending close finish, in which case
// the caller runs FinishClose after dropping the lock.
bool EndActivity(OpenRecord *open, Activity kind);
// Runs the protocol's CloseAdapterCompleteHandler for a close that has finished.
void FinishClose(OpenRecord *open);
// Waits until the close of every open `which` picks has ended for its
// protocol (NdisCloseAdapter returned the status, or the completion handler
// returned), or it never opened; false when `limit` ran out first.
bool WaitOpensClosed(const std::function<bool(const OpenRecord &)> &which, std::chrono::milliseconds limit);

// Asks the protocol of each open to unbind it, in this thread, each once its
// bind has completed (an open whose bind failed is left alone); returns the
// calls. An open already asked, by this road or another, is not asked again:
// its call is among those returned.
std::vector<HandlerCall *> UnbindOpens(const std::vector<OpenRecord *> &opens);
// The unbinds of the protocols `which` picks that have not completed.
std::vector<HandlerCall *> UnbindsUnderWay(const std::function<bool(const ProtocolRecord *)> &which);
// Waits until every given unbind completed; false on time-out.
bool WaitUnbinds(const std::vector<HandlerCall *> &calls, std::chrono::milliseconds timeout);

// Offers the adapter to every registered protocol, in this thread; returns the bind calls.
std::vector<HandlerCall *> OfferToProtocols(AdapterState *adapter);
// Takes the adapter from the stack: fails what NDIS held for it and asks
// each protocol bound to it to unbind, in this thread; returns the unbind calls.
std::vector<HandlerCall *> TakeAdapterAway(AdapterState *adapter);
// Makes a move of the stack's own on a system worker thread: `handlers`
// calls the protocols and returns the calls it made; `settled` is told once
// each of them has completed.
void BeginStackMove(AdapterState *adapter, std::function<std::vector<HandlerCall *>()> handlers,
                    std::function<void()> settled);
// Takes whom to tell of every move whose binds or unbinds have all
// completed. Call with the lock held, and tell them once it is dropped.
std::vector<std::function<void()>> TakeSettledMoves();

std::string Narrow(const std::u16string &text);

}  // namespace sim
