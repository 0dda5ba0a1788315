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
#include "sim/ke/ke_internal.h"
#include "sim/schedule.h"
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

bool HoldsSpinLock(const KSPIN_LOCK *lock)
{
    return std::find(t_held.begin(), t_held.end(), lock) != t_held.end();
}

void ReleaseHeldSpinLocks(KIRQL NewIrql)
{
    for (const KSPIN_LOCK *lock : t_held) {
        Word(const_cast<PKSPIN_LOCK>(lock)).store(0, std::memory_order_release);
    }
    t_held.clear();
    t_irql = NewIrql;
}

KIRQL AcquireSpinLockAs(PKSPIN_LOCK SpinLock, const char *caller)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, caller);
    if (HoldsSpinLock(SpinLock)) {
        // Spinning here would hang the test: Windows would deadlock this processor.
        Violation("spinlock.recursive", caller,
                  "lock " + Hex(SpinLock) + " is already held by this thread");
        return t_irql;
    }
    if (!t_held.empty()) {
        Violation("spinlock.nested", caller,
                  "lock " + Hex(SpinLock) + " taken while holding " + Hex(t_held.back()));
    }
    HookPoint(caller);
    KIRQL old = t_irql;
    t_irql = DISPATCH_LEVEL;
    auto word = Word(SpinLock);
    for (;;) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
            break;
        }
        schedule::Spin();
        std::this_thread::yield();
    }
    t_held.push_back(SpinLock);
    ++g_acquisitions;
    return old;
}

void ReleaseSpinLockAs(PKSPIN_LOCK SpinLock, KIRQL NewIrql, const char *caller)
{
    auto it = std::find(t_held.begin(), t_held.end(), SpinLock);
    if (it == t_held.end()) {
        Violation("spinlock.release-unheld", caller,
                  "lock " + Hex(SpinLock) + " is not held by this thread");
        return;
    }
    t_held.erase(it);
    Word(SpinLock).store(0, std::memory_order_release);
    if (NewIrql > DISPATCH_LEVEL) {
        Violation("spinlock.bad-irql", caller, "restoring an IRQL above DISPATCH_LEVEL");
    }
    t_irql = NewIrql;
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
    return sim::AcquireSpinLockAs(SpinLock, "KfAcquireSpinLock");
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    sim::ReleaseSpinLockAs(SpinLock, NewIrql, "KfReleaseSpinLock");
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
