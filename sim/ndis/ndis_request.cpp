// NdisRequest on an open adapter. The adapter answers the OIDs a protocol
// configures itself with (station address, MAC options, maximum total size,
// protocol options, packet filter, connection status; on 802.3 the multicast list and its
// size) from its own state and the open's, and any OID as a test scripted
// it; a pended request is answered when the test completes it, through the
// protocol's RequestCompleteHandler.
//
// NDIS gives a miniport one request at a time: a request made while another
// is outstanding on the adapter, from any open, returns NDIS_STATUS_PENDING
// and is queued; the queue is answered in order, and what the adapter
// answers itself completes on NDIS's own thread at DISPATCH_LEVEL.
#include <algorithm>
#include <cstring>

#include "sim/hooks.h"
#include "sim/io.h"
#include "sim/irql.h"
#include "sim/ndis/ndis_filter.h"
#include "sim/ndis/ndis_handler_call.h"
#include "sim/ndis/ndis_thread.h"
#include "sim/schedule.h"
#include "sim/verifier.h"
#include "sim/ndis/ndis_world.h"
#include "sim/wire.h"

namespace sim {
namespace {

std::vector<uint8_t> Bytes(ULONG value)
{
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// The adapter's own answer to a query, if it knows the OID.
std::optional<std::vector<uint8_t>> OwnAnswer(const OpenRecord &open, NDIS_OID oid)
{
    const AdapterConfig &config = open.adapter->config;
    switch (oid) {
    case OID_802_3_CURRENT_ADDRESS:
    case OID_802_3_PERMANENT_ADDRESS:
        return std::vector<uint8_t>(config.stationAddress.begin(), config.stationAddress.end());
    case OID_GEN_MAC_OPTIONS: return Bytes(config.macOptions);
    case OID_GEN_MAXIMUM_TOTAL_SIZE: return Bytes(config.maximumTotalSize);
    case OID_GEN_CURRENT_PACKET_FILTER: return Bytes(open.packetFilter);
    case OID_GEN_PROTOCOL_OPTIONS: return Bytes(open.protocolOptions);
    case OID_GEN_MEDIA_CONNECT_STATUS: return Bytes(0);  // NdisMediaStateConnected
    default: break;
    }
    if (KeepsMulticastList(*open.adapter)) {
        switch (oid) {
        case OID_802_3_MULTICAST_LIST: return MulticastListBytes(open);
        case OID_802_3_MAXIMUM_LIST_SIZE: return Bytes(config.multicastListSize);
        default: break;
        }
    }
    return std::nullopt;
}

// The settings the adapter keeps per open.
ULONG *OwnSetting(OpenRecord &open, NDIS_OID oid)
{
    switch (oid) {
    case OID_GEN_CURRENT_PACKET_FILTER: return &open.packetFilter;
    case OID_GEN_PROTOCOL_OPTIONS: return &open.protocolOptions;
    default: return nullptr;
    }
}

// The script for an OID, used up by one request. Call with the lock held.
std::optional<OidScript> TakeScript(AdapterState &adapter, NDIS_OID oid)
{
    auto it = adapter.scripts.find(oid);
    if (it == adapter.scripts.end()) {
        return std::nullopt;
    }
    OidScript script = it->second;
    if (it->second.times != 0 && --it->second.times == 0) {
        adapter.scripts.erase(it);
    }
    return script;
}

// Carries out a request: writes the query's answer or takes the set's value.
NDIS_STATUS Answer(OpenRecord &open, NDIS_REQUEST &request, const std::optional<OidScript> &script)
{
    auto &query = request.DATA.QUERY_INFORMATION;
    auto &set = request.DATA.SET_INFORMATION;
    if (request.RequestType == NdisRequestSetInformation) {
        set.BytesRead = 0;
        set.BytesNeeded = 0;
        if (script && script->status != NDIS_STATUS_SUCCESS) {
            set.BytesRead = script->bytes.value_or(0);
            set.BytesNeeded = script->bytesNeeded;
            return script->status;
        }
        ULONG *setting = OwnSetting(open, set.Oid);
        bool multicastList = set.Oid == OID_802_3_MULTICAST_LIST && KeepsMulticastList(*open.adapter);
        if (setting == nullptr && !multicastList && !script) {
            return NDIS_STATUS_NOT_SUPPORTED;
        }
        if (multicastList) {
            NDIS_STATUS status =
                SetMulticastList(open, set.InformationBuffer, set.InformationBufferLength, &set.BytesNeeded);
            if (status != NDIS_STATUS_SUCCESS) {
                return status;
            }
            UpdateReceiveMode(open.adapter);
        } else if (setting != nullptr) {
            if (set.InformationBufferLength != sizeof(ULONG)) {
                set.BytesNeeded = sizeof(ULONG);
                return NDIS_STATUS_INVALID_LENGTH;
            }
            std::memcpy(setting, set.InformationBuffer, sizeof(ULONG));
            UpdateReceiveMode(open.adapter);
        }
        set.BytesRead = script && script->bytes ? *script->bytes : set.InformationBufferLength;
        return NDIS_STATUS_SUCCESS;
    }
    if (request.RequestType != NdisRequestQueryInformation) {
        return NDIS_STATUS_NOT_SUPPORTED;
    }
    query.BytesWritten = 0;
    query.BytesNeeded = 0;
    if (script && script->status != NDIS_STATUS_SUCCESS) {
        query.BytesWritten = script->bytes.value_or(0);
        query.BytesNeeded = script->bytesNeeded;
        return script->status;
    }
    std::optional<std::vector<uint8_t>> data;
    if (script && script->data) {
        data = script->data;
    } else if (open.adapter->config.wire) {
        data = open.adapter->config.wire->Query(query.Oid);
    }
    if (!data) {
        data = OwnAnswer(open, query.Oid);
    }
    if (!data) {
        return NDIS_STATUS_NOT_SUPPORTED;
    }
    if (query.InformationBufferLength < data->size()) {
        query.BytesNeeded = static_cast<UINT>(data->size());
        return NDIS_STATUS_BUFFER_TOO_SHORT;
    }
    if (!data->empty()) {
        std::memcpy(query.InformationBuffer, data->data(), data->size());
    }
    query.BytesWritten = script && script->bytes ? *script->bytes : static_cast<UINT>(data->size());
    return NDIS_STATUS_SUCCESS;
}

bool Outstanding(const AdapterState &adapter, PNDIS_REQUEST request)
{
    for (const QueuedRequest &queued : adapter.requestQueue) {
        if (queued.request == request) {
            return true;
        }
    }
    return false;
}

size_t ByTestCount(const AdapterState &adapter)
{
    size_t count = 0;
    for (const QueuedRequest &queued : adapter.requestQueue) {
        count += queued.byTest ? 1 : 0;
    }
    return count;
}

// The adapter answers the head of its queue; the request leaves the queue
// and the adapter is busy with it until its completion returns. Call with
// the lock held.
std::pair<QueuedRequest, NDIS_STATUS> AnswerHead(AdapterState &adapter)
{
    QueuedRequest head = adapter.requestQueue.front();
    adapter.requestQueue.pop_front();
    adapter.requestBusy = true;
    NDIS_STATUS status = Answer(*head.open, *head.request, head.script);
    LoggedRequest(adapter, head.logIndex).status = status;
    return {head, status};
}

// Whether the adapter answers the head of its queue itself, now. Call with the lock held.
bool HeadIsOwnToAnswer(const AdapterState &adapter)
{
    return adapter.power == NdisDeviceStateD0 && !adapter.requestQueue.empty() &&
           !adapter.requestQueue.front().byTest;
}

// RequestCompleteHandler for an answered request; then the adapter takes the
// next request, and a close that waited for this one finishes. On NDIS's
// thread the next request the adapter answers itself stays with that thread
// (true), which takes its work in order and so must not queue more for itself.
bool CompleteRequest(const QueuedRequest &answered, NDIS_STATUS status, bool onNdisThread)
{
    CallProtocolHandler(DISPATCH_LEVEL, "RequestCompleteHandler", answered.open->block.RequestCompleteHandler,
                        answered.open->block.ProtocolBindingContext, answered.request, status);
    bool closeFinished;
    bool answersNext = false;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        AdapterState &adapter = *answered.open->adapter;
        adapter.requestBusy = false;
        closeFinished = EndActivity(answered.open, Activity::Request);
        if (onNdisThread && HeadIsOwnToAnswer(adapter)) {
            adapter.requestBusy = true;
            answersNext = true;
        } else {
            ResumeRequests(adapter);
        }
        world.changed.notify_all();
    }
    if (closeFinished) {
        FinishClose(answered.open);
    }
    return answersNext;
}

// On NDIS's thread: the adapter answers the head of the queue, and the next
// while it can.
void ServeHeads(AdapterState *adapter)
{
    for (;;) {
        std::pair<QueuedRequest, NDIS_STATUS> answered;
        {
            NdisWorld &world = World();
            std::lock_guard<std::mutex> guard(world.lock);
            if (!HeadIsOwnToAnswer(*adapter)) {
                adapter->requestBusy = false;
                world.changed.notify_all();
                return;
            }
            answered = AnswerHead(*adapter);
        }
        if (!CompleteRequest(answered.first, answered.second, true)) {
            return;
        }
    }
}

}  // namespace

// Hands the head of the queue to NDIS's thread when the adapter is at D0,
// free, and answers it itself.
void ResumeRequests(AdapterState &adapter)
{
    if (adapter.requestBusy || !HeadIsOwnToAnswer(adapter)) {
        return;
    }
    adapter.requestBusy = true;
    QueueNdisWork([state = &adapter] { ServeHeads(state); });
}

RequestRecord &LoggedRequest(AdapterState &adapter, size_t logIndex)
{
    return adapter.requests[logIndex - adapter.requestsForgotten];
}

void Adapter::ForgetRequests()
{
    std::lock_guard<std::mutex> guard(World().lock);
    std::vector<RequestRecord> &requests = state_->requests;
    // The records of requests still queued keep their places.
    auto answered = std::find_if(requests.begin(), requests.end(),
                                 [](const RequestRecord &record) { return record.status == NDIS_STATUS_PENDING; });
    state_->requestsForgotten += static_cast<size_t>(answered - requests.begin());
    requests.erase(requests.begin(), answered);
}

void Adapter::ScriptOid(NDIS_OID oid, const OidScript &script)
{
    std::lock_guard<std::mutex> guard(World().lock);
    state_->scripts[oid] = script;
}

void Adapter::ClearOidScripts()
{
    std::lock_guard<std::mutex> guard(World().lock);
    state_->scripts.clear();
}

size_t Adapter::PendedRequestCount() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return ByTestCount(*state_);
}

bool Adapter::WaitForPendedRequests(size_t count, std::chrono::milliseconds timeout) const
{
    NdisWorld &world = World();
    std::unique_lock<std::mutex> guard(world.lock);
    return schedule::WaitFor(world.changed, guard, timeout, [this, count] { return ByTestCount(*state_) >= count; });
}

void FailQueuedRequests(AdapterState *adapter, NDIS_STATUS status)
{
    for (;;) {
        QueuedRequest failed;
        {
            NdisWorld &world = World();
            std::unique_lock<std::mutex> guard(world.lock);
            // A completion under way ends first.
            schedule::WaitFor(world.changed, guard, kWaitLimit, [adapter] { return !adapter->requestBusy; });
            if (adapter->requestBusy || adapter->requestQueue.empty()) {
                return;
            }
            failed = adapter->requestQueue.front();
            adapter->requestQueue.pop_front();
            adapter->requestBusy = true;
            LoggedRequest(*adapter, failed.logIndex).status = status;
        }
        CompleteRequest(failed, status, false);
    }
}

bool Adapter::CompletePendedRequest()
{
    std::pair<QueuedRequest, NDIS_STATUS> answered;
    {
        NdisWorld &world = World();
        std::unique_lock<std::mutex> guard(world.lock);
        if (ByTestCount(*state_) == 0) {
            return false;
        }
        // Requests ahead of it are answered first, on NDIS's thread.
        if (!schedule::WaitFor(world.changed, guard, kWaitLimit, [this] {
                return !state_->requestBusy && state_->power == NdisDeviceStateD0 &&
                       state_->requestQueue.front().byTest;
            })) {
            return false;
        }
        answered = AnswerHead(*state_);
    }
    CompleteRequest(answered.first, answered.second, false);
    return true;
}

}  // namespace sim

extern "C" {

VOID NTAPI NdisRequest(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle, PNDIS_REQUEST NdisRequest)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisRequest");
    sim::HookPoint("NdisRequest");
    sim::NdisWorld &world = sim::World();
    std::lock_guard<std::mutex> guard(world.lock);
    sim::OpenRecord *open = sim::FindOpen(NdisBindingHandle, "NdisRequest");
    if (open == nullptr) {
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    sim::AdapterState &adapter = *open->adapter;
    if (sim::Outstanding(adapter, NdisRequest)) {
        sim::Violation("ndis.request-outstanding", "NdisRequest",
                       "the request is already pending on the adapter");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    const auto &query = NdisRequest->DATA.QUERY_INFORMATION;
    sim::RequestRecord record{NdisRequest->RequestType, query.Oid, NDIS_STATUS_PENDING, 0,
                              query.InformationBufferLength};
    if (NdisRequest->RequestType == NdisRequestSetInformation && query.InformationBuffer != nullptr &&
        query.InformationBufferLength >= sizeof(ULONG)) {
        std::memcpy(&record.setValue, query.InformationBuffer, sizeof(ULONG));
    }
    adapter.requests.push_back(record);

    if (adapter.power != NdisDeviceStateD0 && !adapter.present) {
        adapter.requests.back().status = sim::kAdapterRemoved;
        *Status = sim::kAdapterRemoved;
        return;
    }
    std::optional<sim::OidScript> script = sim::TakeScript(adapter, query.Oid);
    bool byTest = script && script->completion == sim::Completion::Pended;
    if (adapter.requestQueue.empty() && !adapter.requestBusy && adapter.power == NdisDeviceStateD0 && !byTest &&
        !adapter.config.requestsPend) {
        *Status = sim::Answer(*open, *NdisRequest, script);
        adapter.requests.back().status = *Status;
        return;
    }
    sim::BeginActivity(open, sim::Activity::Request);
    adapter.requestQueue.push_back(
        sim::QueuedRequest{open, NdisRequest, script, adapter.requestsForgotten + adapter.requests.size() - 1, byTest});
    sim::ResumeRequests(adapter);
    world.changed.notify_all();
    *Status = NDIS_STATUS_PENDING;
}

}  // extern "C"
