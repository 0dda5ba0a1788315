// The calling thread's IRQL and spin locks as the sim keeps them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// Spin locks this thread holds now (the cancel spin lock included).
size_t HeldSpinLockCount();
// Spin lock acquisitions on any thread since the last reset.
uint64_t SpinLockAcquisitions();
void ResetSpinLockCounters();

// Runs the rest of a scope at a raised IRQL, as the network stack calls its
// handlers at DISPATCH_LEVEL.
class ScopedIrql {
public:
    explicit ScopedIrql(uint8_t level);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql &) = delete;
    ScopedIrql &operator=(const ScopedIrql &) = delete;

private:
    uint8_t previous_;
};

// Used inside the sim: a verifier violation unless the thread is at or below `level`.
void RequireIrqlAtMost(uint8_t level, const char *caller);

}  // namespace sim
