// NDIS's own thread: work the stack finishes outside the thread of the call
// that caused it, such as the completion of a request it queued for a
// miniport. Runs one piece at a time, in the order queued, at PASSIVE_LEVEL;
// each piece raises the IRQL its handlers need.
#pragma once

#include <chrono>
#include <functional>

namespace sim {

void QueueNdisWork(std::function<void()> work);
// Waits until nothing is queued or running; false when `limit` ran out first.
bool WaitNdisWorkIdle(std::chrono::milliseconds limit);

}  // namespace sim
