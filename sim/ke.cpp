// IRQL per thread, spin locks that raise to DISPATCH_LEVEL, and the
// interlocked operations, with the verifier's lock rules.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/ke.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/verifier.h"

namespace sim {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local std::vector<const KSPIN_LOCK *> t_held;
std::atomic<uint64_t> g_acquisitions{0};

// The lock word holds 0 when free and 1 when taken.
std::atomic_ref<ULONG_PTR> Word(PKSPIN_LOCK lock)
{
    return std::atomic_ref<ULONG_PTR>(*lock);
}

std::string Hex(const void *p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

}  // namespace

size_t HeldSpinLockCount()
{
    return t_held.size();
}

uint64_t SpinLockAcquisitions()
{
    return g_acquisitions.load();
}

void ResetSpinLockCounters()
{
    g_acquisitions = 0;
}

ScopedIrql::ScopedIrql(uint8_t level) : previous_(t_irql)
{
    t_irql = level;
}

ScopedIrql::~ScopedIrql()
{
    t_irql = previous_;
}

void RequireIrqlAtMost(uint8_t level, const char *caller)
{
    if (t_irql > level) {
        Violation("irql.too-high", caller,
                  "called at IRQL " + std::to_string(t_irql) + ", allowed at most " +
                      std::to_string(level));
    }
}

}  // namespace sim

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return sim::t_irql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = sim::t_irql;
    if (NewIrql < old) {
        sim::Violation("irql.raise-lower", "KfRaiseIrql", "new IRQL is below the current one");
    }
    sim::t_irql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > sim::t_irql) {
        sim::Violation("irql.lower-raise", "KfLowerIrql", "new IRQL is above the current one");
    }
    sim::t_irql = NewIrql;
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "KfAcquireSpinLock");
    if (std::find(sim::t_held.begin(), sim::t_held.end(), SpinLock) != sim::t_held.end()) {
        // Spinning here would hang the test: Windows would deadlock this processor.
        sim::Violation("spinlock.recursive", "KfAcquireSpinLock",
                       "lock " + sim::Hex(SpinLock) + " is already held by this thread");
        return sim::t_irql;
    }
    if (!sim::t_held.empty()) {
        sim::Violation("spinlock.nested", "KfAcquireSpinLock",
                       "lock " + sim::Hex(SpinLock) + " taken while holding " +
                           sim::Hex(sim::t_held.back()));
    }
    sim::HookPoint("KfAcquireSpinLock");
    KIRQL old = sim::t_irql;
    sim::t_irql = DISPATCH_LEVEL;
    auto word = sim::Word(SpinLock);
    for (;;) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
            break;
        }
        std::this_thread::yield();
    }
    sim::t_held.push_back(SpinLock);
    ++sim::g_acquisitions;
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    auto it = std::find(sim::t_held.begin(), sim::t_held.end(), SpinLock);
    if (it == sim::t_held.end()) {
        sim::Violation("spinlock.release-unheld", "KfReleaseSpinLock",
                       "lock " + sim::Hex(SpinLock) + " is not held by this thread");
        return;
    }
    sim::t_held.erase(it);
    sim::Word(SpinLock).store(0, std::memory_order_release);
    if (NewIrql > DISPATCH_LEVEL) {
        sim::Violation("spinlock.bad-irql", "KfReleaseSpinLock", "restoring an IRQL above DISPATCH_LEVEL");
    }
    sim::t_irql = NewIrql;
}

LONG InterlockedIncrement(LONG volatile *Addend)
{
    sim::HookPoint("Interlocked");
    return std::atomic_ref<LONG>(*const_cast<LONG *>(Addend)).fetch_add(1) + 1;
}

LONG InterlockedDecrement(LONG volatile *Addend)
{
    sim::HookPoint("Interlocked");
    return std::atomic_ref<LONG>(*const_cast<LONG *>(Addend)).fetch_sub(1) - 1;
}

LONG InterlockedExchange(LONG volatile *Target, LONG Value)
{
    sim::HookPoint("Interlocked");
    return std::atomic_ref<LONG>(*const_cast<LONG *>(Target)).exchange(Value);
}

LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand)
{
    sim::HookPoint("Interlocked");
    std::atomic_ref<LONG>(*const_cast<LONG *>(Destination)).compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}

LONG InterlockedOr(LONG volatile *Destination, LONG Value)
{
    sim::HookPoint("Interlocked");
    return std::atomic_ref<LONG>(*const_cast<LONG *>(Destination)).fetch_or(Value);
}

LONG InterlockedAnd(LONG volatile *Destination, LONG Value)
{
    sim::HookPoint("Interlocked");
    return std::atomic_ref<LONG>(*const_cast<LONG *>(Destination)).fetch_and(Value);
}

PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value)
{
    sim::HookPoint("Interlocked");
    return std::atomic_ref<PVOID>(*const_cast<PVOID *>(Target)).exchange(Value);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange, PVOID Comparand)
{
    sim::HookPoint("Interlocked");
    std::atomic_ref<PVOID>(*const_cast<PVOID *>(Destination)).compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}

}  // extern "C"
