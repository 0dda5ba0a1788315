// Simulated adapters: their arrival and removal, knobs and observations.
#include <cstdlib>

#include "sim/ndis/ndis_thread.h"
#include "sim/ndis/ndis_world.h"
#include "sim/schedule.h"

namespace sim {

HandlerCall *OfferAdapter(ProtocolRecord *protocol, AdapterState *adapter);
NDIS_STATUS IndicateAdapterPnPEvent(AdapterState *adapter, NET_PNP_EVENT_CODE code,
                                    std::vector<uint8_t> &buffer);

namespace {

OpenRecord *LatestOpen(const AdapterState &adapter)
{
    return adapter.opens.empty() ? nullptr : adapter.opens.back();
}

}  // namespace

bool AdaptersPendEveryRequest()
{
    const char *pend = std::getenv("REZEZURA_PEND_REQUESTS");
    return pend != nullptr && std::string(pend) == "1";
}

bool WaitForNdisWork(std::chrono::milliseconds limit)
{
    return WaitNdisWorkIdle(limit);
}

Adapter CreateAdapter(const AdapterConfig &config)
{
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    world.adapters.push_back(std::make_unique<AdapterState>());
    AdapterState *state = world.adapters.back().get();
    state->config = config;
    state->config.requestsPend = config.requestsPend || AdaptersPendEveryRequest();
    return Adapter(state);
}

Adapter AddAdapter(const AdapterConfig &config)
{
    Adapter adapter = CreateAdapter(config);
    adapter.Arrive();
    return adapter;
}

std::vector<HandlerCall *> OfferToProtocols(AdapterState *adapter)
{
    std::vector<ProtocolRecord *> protocols;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        adapter->present = true;
        for (const auto &protocol : world.protocols) {
            if (protocol->registered) {
                protocols.push_back(protocol.get());
            }
        }
    }
    std::vector<HandlerCall *> calls;
    for (ProtocolRecord *protocol : protocols) {
        calls.push_back(OfferAdapter(protocol, adapter));
    }
    return calls;
}

void Adapter::Arrive()
{
    OfferToProtocols(state_);
}

const std::u16string &Adapter::Name() const
{
    return state_->config.name;
}

void Adapter::SetOpenCompletion(Completion completion, NDIS_STATUS status, NDIS_STATUS openErrorStatus)
{
    std::lock_guard<std::mutex> guard(World().lock);
    state_->openCompletion = completion;
    state_->openStatus = status;
    state_->openErrorStatus = openErrorStatus;
}

void Adapter::SetCloseCompletion(Completion completion, NDIS_STATUS status)
{
    std::lock_guard<std::mutex> guard(World().lock);
    state_->closeCompletion = completion;
    state_->closeStatus = status;
}

size_t Adapter::OpenCount() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    size_t count = 0;
    for (const OpenRecord *open : state_->opens) {
        count += (open->state == OpenState::Closed || open->state == OpenState::Failed) ? 0 : 1;
    }
    return count;
}

std::optional<OpenState> Adapter::LatestOpenState() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    const OpenRecord *open = LatestOpen(*state_);
    return open == nullptr ? std::nullopt : std::optional<OpenState>(open->state);
}

ULONG Adapter::PacketFilter() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    const OpenRecord *open = LatestOpen(*state_);
    return open == nullptr ? 0 : open->packetFilter;
}

ULONG Adapter::ProtocolOptions() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    const OpenRecord *open = LatestOpen(*state_);
    return open == nullptr ? 0 : open->protocolOptions;
}

std::vector<RequestRecord> Adapter::Requests() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return state_->requests;
}

HandlerOutcome Adapter::LatestBind() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return state_->binds.empty() ? HandlerOutcome{} : state_->binds.back()->outcome;
}

HandlerOutcome Adapter::LatestUnbind() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return state_->unbinds.empty() ? HandlerOutcome{} : state_->unbinds.back()->outcome;
}

size_t Adapter::UnbindCount() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return state_->unbinds.size();
}

bool Adapter::WaitBindCompleted(std::chrono::milliseconds timeout) const
{
    NdisWorld &world = World();
    std::unique_lock<std::mutex> guard(world.lock);
    return schedule::WaitFor(world.changed, guard, timeout, [this] {
        return !state_->binds.empty() && state_->binds.back()->outcome.Result().has_value();
    });
}

std::vector<HandlerCall *> TakeAdapterAway(AdapterState *adapter)
{
    std::vector<OpenRecord *> opens;
    std::vector<HeldSend> held;
    bool lowPower;
    {
        std::lock_guard<std::mutex> guard(World().lock);
        adapter->present = false;
        lowPower = adapter->power != NdisDeviceStateD0;
        held.swap(adapter->traffic.heldSends);
        for (OpenRecord *open : adapter->opens) {
            if (open->state == OpenState::Opening || open->state == OpenState::Open) {
                opens.push_back(open);
            }
        }
    }
    // What NDIS held for an adapter below D0 fails with the adapter, before
    // its protocols are asked to unbind.
    if (lowPower) {
        FailQueuedRequests(adapter, kAdapterRemoved);
    }
    FailHeldSends(std::move(held), kAdapterRemoved);
    return UnbindOpens(opens);
}

void Adapter::BeginRemove()
{
    std::vector<HandlerCall *> calls = TakeAdapterAway(state_);
    std::lock_guard<std::mutex> guard(World().lock);
    state_->removalUnbinds = std::move(calls);
}

bool Adapter::WaitRemoved(std::chrono::milliseconds timeout)
{
    std::vector<HandlerCall *> calls;
    {
        std::lock_guard<std::mutex> guard(World().lock);
        calls = state_->removalUnbinds;
    }
    return WaitUnbinds(calls, timeout);
}

bool Adapter::Remove(std::chrono::milliseconds timeout)
{
    BeginRemove();
    return WaitRemoved(timeout);
}

NDIS_STATUS Adapter::IndicatePnPEvent(NET_PNP_EVENT_CODE code, std::vector<uint8_t> buffer)
{
    return IndicateAdapterPnPEvent(state_, code, buffer);
}

}  // namespace sim
