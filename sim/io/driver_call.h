// The sim's calls into the driver's routines (DriverEntry, dispatch and
// cancel routines, protocol handlers, work items). A routine of a mapped
// driver image is called through a trampoline that checks the stack pointer
// on its return: a stdcall routine must pop exactly its arguments (rule
// image.stack-imbalance, naming `role`). A routine linked into the sim is
// called directly: the compiler saw both sides. Under a seeded schedule the
// call and its return are interleaving points, and the steps between are the
// routine's.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "platform/types.h"
#include "sim/schedule.h"

namespace sim {

// True when `routine` lies in a mapped driver image.
bool InDriverImage(const void *routine);
// Calls the image's stdcall `routine` with `count` argument words and
// returns its EAX, recording a violation when it leaves the stack unbalanced.
uint32_t CallImageRoutine(const char *role, const void *routine, const uint32_t *words, uint32_t count);

template <typename T>
uint32_t ArgumentWord(T value)
{
    static_assert(sizeof(T) <= 4, "every argument of a driver routine fits one stack slot");
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    } else {
        return static_cast<uint32_t>(value);
    }
}

template <typename R, typename... P, typename... A>
R CallDriver(const char *role, R(NTAPI *routine)(P...), A &&...args)
{
    // The call and its return are interleaving points of a seeded schedule.
    schedule::DriverCall call(role);
#if defined(__i386__)
    if (InDriverImage(reinterpret_cast<const void *>(routine))) {
        const uint32_t words[sizeof...(P) + 1] = {ArgumentWord<P>(static_cast<P>(std::forward<A>(args)))..., 0};
        uint32_t result = CallImageRoutine(role, reinterpret_cast<const void *>(routine), words, sizeof...(P));
        if constexpr (std::is_pointer_v<R>) {
            return reinterpret_cast<R>(static_cast<uintptr_t>(result));
        } else if constexpr (!std::is_void_v<R>) {
            return static_cast<R>(result);
        } else {
            return;
        }
    }
#endif
    return routine(std::forward<A>(args)...);
}

}  // namespace sim
