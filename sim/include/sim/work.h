// NDIS work items and I/O work items run at PASSIVE_LEVEL on the sim's
// system worker threads, as on the delayed work queue: several at a time, in
// no fixed order; which queued item runs next is picked as a seed decides
// (SeedWorkOrder; ResetWorld sets it back). Tests wait for them to have run.
//
// Verifier rules: workitem.already-queued (an NDIS item scheduled again before
// its routine started), workitem.no-routine, workitem.irql-changed and
// workitem.spinlock-held (a routine of either kind returned above
// PASSIVE_LEVEL or holding a spin lock); for I/O work items
// ioworkitem.no-device (allocated on no live device object),
// ioworkitem.unknown, ioworkitem.no-routine, ioworkitem.bad-queue,
// ioworkitem.already-queued and ioworkitem.freed-while-queued. A queued I/O
// work item holds its device object until the routine returns; an item
// allocated and never freed is a leak. Hook points "NdisWorkItem.run" and
// "IoWorkItem.run": on the worker, right before a routine runs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "sim/io.h"

namespace sim {

// True once every scheduled item has run, including items scheduled by the
// routines meanwhile; false when `limit` ran out first.
bool WaitForWorkItems(std::chrono::milliseconds limit = kWaitLimit);
// The threads the items run on.
constexpr size_t kSystemWorkerThreads = 3;

// Items scheduled and not yet finished.
size_t PendingWorkItems();
// The seed of the order in which queued items are taken.
void SeedWorkOrder(uint64_t seed);

}  // namespace sim
