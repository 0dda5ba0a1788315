// Bind and unbind calls into a protocol and the verifier's rules for their
// completion: a bind or unbind completes at most once, with its own context;
// exactly once when the handler reported pending; when completed before the
// handler returns, with the status the handler then returns unless that is
// NDIS_STATUS_PENDING (the completion then tells the result, as NDIS takes
// it); never after the handler returned a final status. An unbind starts only
// once the bind it undoes has completed, and completes only once the open it
// concerns is closed, always with NDIS_STATUS_SUCCESS.
#include <algorithm>
#include <cstdio>

#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/ndis/ndis_handler_call.h"
#include "sim/schedule.h"
#include "sim/verifier.h"
#include "sim/ndis/ndis_world.h"

namespace sim {
namespace {

std::string StatusText(NDIS_STATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

HandlerCall *NewCall(AdapterState *adapter, ProtocolRecord *protocol, OpenRecord *open, bool isBind)
{
    NdisWorld &world = World();
    world.calls.push_back(std::make_unique<HandlerCall>());
    HandlerCall *call = world.calls.back().get();
    call->adapter = adapter;
    call->protocol = protocol;
    call->open = open;
    call->isBind = isBind;
    call->inHandler = true;
    call->handlerThread = std::this_thread::get_id();
    (isBind ? adapter->binds : adapter->unbinds).push_back(call);
    return call;
}

// The bind that made the open: the latest of its protocol on its adapter.
// Call with the lock held.
HandlerCall *BindOf(const OpenRecord *open)
{
    const std::vector<HandlerCall *> &binds = open->adapter->binds;
    for (auto it = binds.rbegin(); it != binds.rend(); ++it) {
        if ((*it)->protocol == open->protocol) {
            return *it;
        }
    }
    return nullptr;
}

// NDIS unbinds only a binding whose bind has completed: it waits for a bind
// in progress, and there is nothing to unbind when that bind failed. True
// when the open is to be unbound. Call with the lock held.
bool WaitForItsBind(std::unique_lock<std::mutex> &guard, OpenRecord *open)
{
    HandlerCall *bind = BindOf(open);
    auto completed = [bind] { return bind == nullptr || bind->outcome.Result().has_value(); };
    if (!completed()) {
        if (!schedule::WaitFor(World().changed, guard, std::chrono::seconds(10), completed)) {
            Violation("ndis.bind-not-completed", "UnbindAdapterHandler",
                      "the adapter is going, and its bind never completed");
            return false;
        }
    }
    return (bind == nullptr || *bind->outcome.Result() == NDIS_STATUS_SUCCESS) && open->state == OpenState::Open;
}

// The unbind the stack made of the open, by whichever road. Call with the lock held.
HandlerCall *UnbindOf(const OpenRecord *open)
{
    for (HandlerCall *call : open->adapter->unbinds) {
        if (call->open == open) {
            return call;
        }
    }
    return nullptr;
}

bool OpenIsClosed(const OpenRecord *open)
{
    return open == nullptr || open->state == OpenState::Closed || open->state == OpenState::Failed;
}

// After the handler returned: its status against a completion made meanwhile.
void HandlerReturned(HandlerCall *call, NDIS_STATUS status, const char *handler)
{
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    HandlerOutcome &outcome = call->outcome;
    call->inHandler = false;
    outcome.handlerReturned = true;
    outcome.handlerStatus = status;
    // Pending leaves the result to the completion, whenever it was made; a
    // final status must agree with a completion made before it.
    if (outcome.completed && status != NDIS_STATUS_PENDING && outcome.completionStatus != status) {
        Violation(call->isBind ? "ndis.bind-status" : "ndis.unbind-status", handler,
                  "completed with " + StatusText(outcome.completionStatus) +
                      " but the handler returned " + StatusText(status));
    }
    if (!call->isBind && status != NDIS_STATUS_PENDING && !OpenIsClosed(call->open)) {
        Violation("ndis.unbind-before-close", handler,
                  "the unbind returned " + StatusText(status) + " with the adapter still open");
    }
    world.changed.notify_all();
}

// A completion call: finds its handler call and applies the rules.
HandlerCall *Complete(NDIS_HANDLE context, bool isBind, NDIS_STATUS status,
                      NDIS_STATUS openErrorStatus, const char *caller)
{
    NdisWorld &world = World();
    HandlerCall *call = nullptr;
    for (const auto &candidate : world.calls) {
        if (candidate.get() == context && candidate->isBind == isBind) {
            call = candidate.get();
        }
    }
    const char *rule = isBind ? "ndis.bind-context" : "ndis.unbind-context";
    if (call == nullptr) {
        Violation(rule, caller, "not a context the stack handed to the protocol");
        return nullptr;
    }
    HandlerOutcome &outcome = call->outcome;
    if (outcome.completed) {
        Violation(isBind ? "ndis.bind-completed-twice" : "ndis.unbind-completed-twice", caller,
                  "completed a second time");
        return nullptr;
    }
    if (outcome.handlerReturned && outcome.handlerStatus != NDIS_STATUS_PENDING) {
        Violation(isBind ? "ndis.bind-completed-after-final" : "ndis.unbind-completed-after-final",
                  caller,
                  "the handler had already returned " + StatusText(outcome.handlerStatus));
        return nullptr;
    }
    outcome.completed = true;
    outcome.completionStatus = status;
    outcome.openErrorStatus = openErrorStatus;
    outcome.completedInsideHandler =
        call->inHandler && call->handlerThread == std::this_thread::get_id();
    world.changed.notify_all();
    return call;
}

}  // namespace

HandlerCall *OfferAdapter(ProtocolRecord *protocol, AdapterState *adapter)
{
    HandlerCall *call = nullptr;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        call = NewCall(adapter, protocol, nullptr, true);
    }
    // The name is the stack's: valid for the call only, so a protocol that
    // keeps the pointer instead of a copy reads garbage afterwards.
    std::u16string name = adapter->config.name;
    size_t bytes = std::min<size_t>(name.size() * sizeof(WCHAR), 0xFFFE);
    NDIS_STRING deviceName;
    deviceName.Length = static_cast<USHORT>(bytes);
    deviceName.MaximumLength = static_cast<USHORT>(bytes);
    deviceName.Buffer = reinterpret_cast<PWSTR>(name.data());
    std::u16string registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" +
                                  protocol->name + u"\\Parameters\\Adapters";
    NDIS_STRING systemSpecific1;
    RtlInitUnicodeString(&systemSpecific1, reinterpret_cast<PCWSTR>(registryPath.c_str()));

    NDIS_STATUS status = NDIS_STATUS_PENDING;
    CallProtocolHandler(PASSIVE_LEVEL, "BindAdapterHandler", protocol->characteristics.BindAdapterHandler, &status,
                        call, &deviceName, &systemSpecific1, nullptr);
    name.assign(name.size(), u'\xDEAD');
    HandlerReturned(call, status, "BindAdapterHandler");
    return call;
}

std::vector<HandlerCall *> UnbindOpens(const std::vector<OpenRecord *> &opens)
{
    std::vector<HandlerCall *> calls;
    for (OpenRecord *open : opens) {
        HandlerCall *call = nullptr;
        UNBIND_HANDLER handler = nullptr;
        NDIS_HANDLE context = nullptr;
        {
            NdisWorld &world = World();
            std::unique_lock<std::mutex> guard(world.lock);
            // NDIS calls a binding's unbind handler once: a second road to it
            // (the adapter's removal, the driver's stop) waits for that call.
            HandlerCall *made = UnbindOf(open);
            if (made == nullptr) {
                if (!WaitForItsBind(guard, open)) {
                    continue;
                }
                // Another road may have made it while this one waited.
                made = UnbindOf(open);
            }
            if (made != nullptr) {
                calls.push_back(made);
                continue;
            }
            call = NewCall(open->adapter, open->protocol, open, false);
            handler = open->protocol->characteristics.UnbindAdapterHandler;
            context = open->block.ProtocolBindingContext;
        }
        NDIS_STATUS status = NDIS_STATUS_PENDING;
        CallProtocolHandler(PASSIVE_LEVEL, "UnbindAdapterHandler", handler, &status, context, call);
        HandlerReturned(call, status, "UnbindAdapterHandler");
        HookPoint("UnbindAdapterHandler.returned");
        calls.push_back(call);
    }
    return calls;
}

std::vector<HandlerCall *> UnbindsUnderWay(const std::function<bool(const ProtocolRecord *)> &which)
{
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    std::vector<HandlerCall *> underWay;
    for (const auto &call : world.calls) {
        if (!call->isBind && which(call->protocol) && !call->outcome.Result().has_value()) {
            underWay.push_back(call.get());
        }
    }
    return underWay;
}

bool WaitUnbinds(const std::vector<HandlerCall *> &calls, std::chrono::milliseconds timeout)
{
    NdisWorld &world = World();
    std::unique_lock<std::mutex> guard(world.lock);
    return schedule::WaitFor(world.changed, guard, timeout, [&calls] {
        for (HandlerCall *call : calls) {
            if (!call->outcome.Result().has_value()) {
                return false;
            }
        }
        return true;
    });
}

}  // namespace sim

extern "C" {

VOID NTAPI NdisCompleteBindAdapter(NDIS_HANDLE BindAdapterContext, NDIS_STATUS Status,
                                   NDIS_STATUS OpenStatus)
{
    // "Callers of NdisCompleteBindAdapter run at IRQL PASSIVE_LEVEL."
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "NdisCompleteBindAdapter");
    sim::HookPoint("NdisCompleteBindAdapter");
    std::vector<std::function<void()>> settled;
    {
        sim::NdisWorld &world = sim::World();
        std::lock_guard<std::mutex> guard(world.lock);
        sim::Complete(BindAdapterContext, true, Status, OpenStatus, "NdisCompleteBindAdapter");
        settled = sim::TakeSettledMoves();
    }
    for (const std::function<void()> &tell : settled) {
        tell();
    }
}

VOID NTAPI NdisCompleteUnbindAdapter(NDIS_HANDLE UnbindAdapterContext, NDIS_STATUS Status)
{
    // "Callers of NdisCompleteUnbindAdapter run at IRQL PASSIVE_LEVEL."
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "NdisCompleteUnbindAdapter");
    sim::HookPoint("NdisCompleteUnbindAdapter");
    std::vector<std::function<void()>> settled;
    {
        sim::NdisWorld &world = sim::World();
        std::lock_guard<std::mutex> guard(world.lock);
        // The unbind's only result is success; a close that failed is the
        // protocol's own business.
        if (Status != NDIS_STATUS_SUCCESS) {
            sim::Violation("ndis.unbind-not-success", "NdisCompleteUnbindAdapter",
                           "completed with " + sim::StatusText(Status) + ", not NDIS_STATUS_SUCCESS");
        }
        sim::HandlerCall *call =
            sim::Complete(UnbindAdapterContext, false, Status, 0, "NdisCompleteUnbindAdapter");
        if (call != nullptr && !sim::OpenIsClosed(call->open)) {
            sim::Violation("ndis.unbind-before-close", "NdisCompleteUnbindAdapter",
                           "the unbind completed with the adapter still open");
        }
        settled = sim::TakeSettledMoves();
    }
    for (const std::function<void()> &tell : settled) {
        tell();
    }
}

}  // extern "C"
