// Protocol registration and deregistration, the protocol's unload handler
// and plug-and-play events that concern no adapter.
#include "sim/faults.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/ndis/ndis_handler_call.h"
#include "sim/verifier.h"
#include "sim/ndis/ndis_world.h"

namespace sim {

HandlerCall *OfferAdapter(ProtocolRecord *protocol, AdapterState *adapter);

namespace {

std::vector<ProtocolRecord *> RegisteredProtocols()
{
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    std::vector<ProtocolRecord *> protocols;
    for (const auto &protocol : world.protocols) {
        if (protocol->registered) {
            protocols.push_back(protocol.get());
        }
    }
    return protocols;
}

NET_PNP_EVENT MakeEvent(NET_PNP_EVENT_CODE code, std::vector<uint8_t> &buffer)
{
    NET_PNP_EVENT event{};
    event.NetEvent = code;
    event.Buffer = buffer.empty() ? nullptr : buffer.data();
    event.BufferLength = static_cast<ULONG>(buffer.size());
    return event;
}

}  // namespace

NDIS_STATUS IndicateGlobalPnPEvent(NET_PNP_EVENT_CODE code, std::vector<uint8_t> buffer)
{
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    for (ProtocolRecord *protocol : RegisteredProtocols()) {
        if (protocol->characteristics.PnPEventHandler == nullptr) {
            continue;
        }
        NET_PNP_EVENT event = MakeEvent(code, buffer);
        status = CallProtocolHandler(PASSIVE_LEVEL, "PnPEventHandler", protocol->characteristics.PnPEventHandler,
                                     nullptr, &event);
    }
    return status;
}

NDIS_STATUS IndicateAdapterPnPEvent(AdapterState *adapter, NET_PNP_EVENT_CODE code,
                                    std::vector<uint8_t> &buffer)
{
    std::vector<std::pair<PNP_EVENT_HANDLER, NDIS_HANDLE>> targets;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        for (OpenRecord *open : adapter->opens) {
            PNP_EVENT_HANDLER handler = open->protocol->characteristics.PnPEventHandler;
            if (open->state == OpenState::Open && handler != nullptr) {
                targets.emplace_back(handler, open->block.ProtocolBindingContext);
            }
        }
    }
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    for (const auto &[handler, context] : targets) {
        NET_PNP_EVENT event = MakeEvent(code, buffer);
        status = CallProtocolHandler(PASSIVE_LEVEL, "PnPEventHandler", handler, context, &event);
    }
    return status;
}

void NotifyProtocolUnload(NDIS_HANDLE handle)
{
    UNLOAD_PROTOCOL_HANDLER handler = nullptr;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        ProtocolRecord *protocol = FindProtocol(handle);
        if (protocol != nullptr) {
            handler = protocol->characteristics.UnloadHandler;
        }
    }
    if (handler != nullptr) {
        CallProtocolHandler(PASSIVE_LEVEL, "UnloadHandler", handler);
    }
}

}  // namespace sim

extern "C" {

VOID NTAPI NdisRegisterProtocol(PNDIS_STATUS Status, PNDIS_HANDLE NdisProtocolHandle,
                                PNDIS50_PROTOCOL_CHARACTERISTICS ProtocolCharacteristics,
                                UINT CharacteristicsLength)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "NdisRegisterProtocol");
    *NdisProtocolHandle = nullptr;
    const NDIS50_PROTOCOL_CHARACTERISTICS &given = *ProtocolCharacteristics;
    bool newerThanStack;
    {
        sim::NdisWorld &world = sim::World();
        std::lock_guard<std::mutex> guard(world.lock);
        newerThanStack = given.MajorNdisVersion > world.stackMajorVersion ||
                         (given.MajorNdisVersion == world.stackMajorVersion &&
                          given.MinorNdisVersion > world.stackMinorVersion);
    }
    // Only the 5.0 characteristics exist here; other versions have other layouts.
    if (newerThanStack || given.MajorNdisVersion != 5 || given.MinorNdisVersion != 0) {
        *Status = NDIS_STATUS_BAD_VERSION;
        return;
    }
    if (CharacteristicsLength != sizeof(NDIS50_PROTOCOL_CHARACTERISTICS) ||
        given.Name.Length == 0 || given.Name.Buffer == nullptr ||
        given.BindAdapterHandler == nullptr || given.UnbindAdapterHandler == nullptr ||
        given.OpenAdapterCompleteHandler == nullptr ||
        given.CloseAdapterCompleteHandler == nullptr) {
        *Status = NDIS_STATUS_BAD_CHARACTERISTICS;
        return;
    }
    if (sim::ShouldFail("NdisRegisterProtocol")) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto record = std::make_unique<sim::ProtocolRecord>();
    record->characteristics = given;
    record->name.assign(given.Name.Buffer, given.Name.Length / sizeof(WCHAR));
    // NDIS keeps its own copy of the name; the caller's string may go away.
    record->characteristics.Name.Buffer = nullptr;
    sim::ProtocolRecord *protocol = record.get();
    std::vector<sim::AdapterState *> adapters;
    {
        sim::NdisWorld &world = sim::World();
        std::lock_guard<std::mutex> guard(world.lock);
        world.protocols.push_back(std::move(record));
        for (const auto &adapter : world.adapters) {
            if (adapter->present) {
                adapters.push_back(adapter.get());
            }
        }
    }
    // The handle is the caller's before the first bind call can need it.
    *NdisProtocolHandle = protocol;
    *Status = NDIS_STATUS_SUCCESS;
    for (sim::AdapterState *adapter : adapters) {
        sim::OfferAdapter(protocol, adapter);
    }
}

VOID NTAPI NdisDeregisterProtocol(PNDIS_STATUS Status, NDIS_HANDLE NdisProtocolHandle)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "NdisDeregisterProtocol");
    sim::ProtocolRecord *protocol = nullptr;
    std::vector<sim::OpenRecord *> bound;
    {
        sim::NdisWorld &world = sim::World();
        std::lock_guard<std::mutex> guard(world.lock);
        protocol = sim::FindProtocol(NdisProtocolHandle);
        if (protocol == nullptr) {
            sim::Violation("ndis.bad-handle", "NdisDeregisterProtocol",
                           "not a registered protocol handle");
            *Status = NDIS_STATUS_FAILURE;
            return;
        }
        for (const auto &open : world.opens) {
            if (open->protocol == protocol &&
                (open->state == sim::OpenState::Opening || open->state == sim::OpenState::Open)) {
                bound.push_back(open.get());
            }
        }
    }
    // NDIS takes the protocol off every adapter it is still bound to first,
    // and lets an unbind another road began finish rather than making another.
    std::vector<sim::HandlerCall *> unbinds = sim::UnbindOpens(bound);
    for (sim::HandlerCall *call :
         sim::UnbindsUnderWay([protocol](const sim::ProtocolRecord *other) { return other == protocol; })) {
        unbinds.push_back(call);
    }
    sim::HookPoint("NdisDeregisterProtocol.unbinds");
    if (!sim::WaitUnbinds(unbinds, std::chrono::seconds(10))) {
        sim::Violation("ndis.unbind-not-completed", "NdisDeregisterProtocol",
                       "an unbind of the protocol never completed");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    // and waits for the closes still under way, a failed bind's among them.
    if (!sim::WaitOpensClosed([protocol](const sim::OpenRecord &open) { return open.protocol == protocol; },
                              std::chrono::seconds(10))) {
        sim::Violation("ndis.close-not-completed", "NdisDeregisterProtocol",
                       "a close of one of the protocol's opens never completed");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    sim::NdisWorld &world = sim::World();
    std::lock_guard<std::mutex> guard(world.lock);
    protocol->registered = false;
    *Status = NDIS_STATUS_SUCCESS;
}

}  // extern "C"
