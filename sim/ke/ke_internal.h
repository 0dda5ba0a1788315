// Spin locks for the sim's own platform calls that take one (the cancel
// spin lock), so that the verifier's lock rules name the call the driver made.
#pragma once

#include "platform/ke.h"

namespace sim {

// KfAcquireSpinLock and KfReleaseSpinLock with `caller` as the name in
// violations and as the hook point.
KIRQL AcquireSpinLockAs(PKSPIN_LOCK SpinLock, const char *caller);
void ReleaseSpinLockAs(PKSPIN_LOCK SpinLock, KIRQL NewIrql, const char *caller);
// Whether the calling thread holds `lock`.
bool HoldsSpinLock(const KSPIN_LOCK *lock);
// After a violation has been reported: frees every lock the calling thread
// still holds and sets its IRQL, so that the thread can go on.
void ReleaseHeldSpinLocks(KIRQL NewIrql);

}  // namespace sim
