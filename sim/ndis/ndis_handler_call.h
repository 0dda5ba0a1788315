// The stack's calls into a protocol's handlers. Each runs at the IRQL NDIS
// documents for it, through the checked call every driver routine takes
// (sim/io/driver_call.h: the image's stack check), and is checked when it
// returns: at the IRQL it was called at, holding no spin lock. NDIS 5 calls
// the bind, unbind, open and close completion, plug-and-play and unload
// handlers at PASSIVE_LEVEL in a system thread; request completion, status
// and the traffic handlers at DISPATCH_LEVEL at most, which the sim makes
// DISPATCH_LEVEL so that a handler's use of a passive-only call is caught.
#pragma once

#include <type_traits>
#include <utility>

#include "sim/io/driver_call.h"
#include "sim/irql.h"

namespace sim {

// A violation (ndis.handler-return) naming `handler` unless the thread is at
// `irql` and holds no spin lock; the thread is then put back as it should be.
void CheckHandlerReturn(const char *handler, uint8_t irql);

template <typename R, typename... P, typename... A>
R CallProtocolHandler(uint8_t irql, const char *handler, R(NTAPI *routine)(P...), A &&...args)
{
    ScopedIrql level(irql);
    if constexpr (std::is_void_v<R>) {
        CallDriver(handler, routine, std::forward<A>(args)...);
        CheckHandlerReturn(handler, irql);
    } else {
        R result = CallDriver(handler, routine, std::forward<A>(args)...);
        CheckHandlerReturn(handler, irql);
        return result;
    }
}

}  // namespace sim
