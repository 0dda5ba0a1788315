// The system worker threads: NDIS work items and I/O work items alike run on
// them at PASSIVE_LEVEL, as Windows runs both from its delayed work queue,
// and so do the stack's own plug-and-play moves (an adapter's arrival or
// removal, with the bind and unbind calls they make):
// several at a time, each on whichever thread is free, in an order the seed
// picks (sim/work.h), not the order they were queued in.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class WorkKind { Ndis, Io, Pnp };

// Queues `run` for `item`, the caller's work item; false when the item is
// queued already and its routine has not started. `finished`, when given,
// runs once the worker counts the item as done: what the I/O manager does
// last, after the routine returned.
bool QueueSystemWork(const void *item, WorkKind kind, std::function<void()> run,
                     std::function<void()> finished = nullptr);
// True while `item` is queued and its routine has not started.
bool SystemWorkQueued(const void *item);
// Items of `kind` queued or running.
size_t PendingSystemWork(WorkKind kind);

// What a work item routine must have undone when it returns: a raised IRQL
// or a spin lock still held, reported against `api`, which queued it.
void CheckWorkRoutineReturn(const char *api);

}  // namespace sim
