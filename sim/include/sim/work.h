// NDIS work items run on one sim worker thread at PASSIVE_LEVEL, in the
// order they were scheduled. Tests wait for them to have run.
//
// Verifier rules: workitem.already-queued (an item scheduled again before its
// routine started), workitem.no-routine, workitem.irql-changed and
// workitem.spinlock-held (a routine returned above PASSIVE_LEVEL or holding
// a spin lock). Hook point "NdisWorkItem.run": on the worker, right before a
// routine runs.
#pragma once

#include <chrono>
#include <cstddef>

#include "sim/io.h"

namespace sim {

// True once every scheduled item has run, including items scheduled by the
// routines meanwhile; false when `limit` ran out first.
bool WaitForWorkItems(std::chrono::milliseconds limit = kWaitLimit);
// Items scheduled and not yet finished.
size_t PendingWorkItems();

}  // namespace sim
