// The NDIS records' home: lookups, the handler-return check, and what the
// world forgets between tests and reports as left behind by the driver.
#include <cstdio>

#include "sim/irql.h"
#include "sim/ke/ke_internal.h"
#include "sim/ndis/ndis_handler_call.h"
#include "sim/ndis/ndis_thread.h"
#include "sim/io.h"
#include "sim/verifier.h"
#include "sim/ndis/ndis_world.h"

namespace sim {

NdisWorld &World()
{
    static NdisWorld world;
    return world;
}

std::string Narrow(const std::u16string &text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    return narrow;
}

ProtocolRecord *FindProtocol(NDIS_HANDLE handle)
{
    for (const auto &protocol : World().protocols) {
        if (protocol.get() == handle && protocol->registered) {
            return protocol.get();
        }
    }
    return nullptr;
}

OpenRecord *FindOpen(NDIS_HANDLE handle, const char *caller)
{
    for (const auto &open : World().opens) {
        if (&open->block != handle) {
            continue;
        }
        if (open->state == OpenState::Open) {
            return open.get();
        }
        if (open->state == OpenState::Opening) {
            Violation("ndis.open-not-ready", caller, "the open has not completed yet");
        } else if (open->state == OpenState::Failed) {
            Violation("ndis.bad-handle", caller, "the open of this handle failed");
        } else {
            Violation("ndis.call-after-close", caller,
                      "the open of adapter " + Narrow(open->adapter->config.name) +
                          " is already being closed");
        }
        return nullptr;
    }
    Violation("ndis.bad-handle", caller, "not a binding handle NDIS gave out");
    return nullptr;
}

void CheckHandlerReturn(const char *handler, uint8_t irql)
{
    if (KeGetCurrentIrql() != irql || HeldSpinLockCount() != 0) {
        Violation("ndis.handler-return", handler,
                  "called at IRQL " + std::to_string(irql) + ", returned at IRQL " +
                      std::to_string(KeGetCurrentIrql()) + " holding " + std::to_string(HeldSpinLockCount()) +
                      " spin lock(s)");
        ReleaseHeldSpinLocks(irql);
    }
}

std::optional<NDIS_STATUS> HandlerOutcome::Result() const
{
    if (handlerReturned && handlerStatus != NDIS_STATUS_PENDING) {
        return handlerStatus;
    }
    if (completed) {
        return completionStatus;
    }
    return std::nullopt;
}

void ResetNdis()
{
    // Completions under way on NDIS's thread finish before their records go.
    WaitNdisWorkIdle(kWaitLimit);
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    world.moves.clear();
    world.calls.clear();
    world.opens.clear();
    world.adapters.clear();
    world.protocols.clear();
    world.stackMajorVersion = 5;
    world.stackMinorVersion = 0;
}

void SetStackNdisVersion(UCHAR major, UCHAR minor)
{
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    world.stackMajorVersion = major;
    world.stackMinorVersion = minor;
}

void AppendNdisLeaks(std::vector<std::string> &leaks)
{
    NdisWorld &world = World();
    std::lock_guard<std::mutex> guard(world.lock);
    for (const auto &protocol : world.protocols) {
        if (protocol->registered) {
            leaks.push_back("protocol " + Narrow(protocol->name) + " still registered");
        }
    }
    for (const auto &open : world.opens) {
        const char *what = nullptr;
        switch (open->state) {
        case OpenState::Opening: what = "open never completed"; break;
        case OpenState::Open: what = "open never closed"; break;
        case OpenState::Closing: what = "close never completed"; break;
        default: break;
        }
        if (what != nullptr) {
            leaks.push_back(std::string(what) + ": adapter " + Narrow(open->adapter->config.name) +
                            " by protocol " + Narrow(open->protocol->name));
        }
    }
    for (const auto &call : world.calls) {
        const HandlerOutcome &outcome = call->outcome;
        if (outcome.handlerReturned && outcome.handlerStatus == NDIS_STATUS_PENDING &&
            !outcome.completed) {
            leaks.push_back(std::string(call->isBind ? "bind" : "unbind") + " of adapter " +
                            Narrow(call->adapter->config.name) +
                            " reported pending and never completed");
        }
    }
}

}  // namespace sim
