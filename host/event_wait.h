// The loop's wait for events: a short busy poll before it sleeps.
#pragma once

#include <sys/epoll.h>

#include <chrono>

namespace host {

// Ready events into `events`, as epoll_wait with no time limit gives them;
// -1 with errno on a failure. While events keep coming, the thread that
// serves them looks again without sleeping for up to `busyPoll` before it
// sleeps: a frame or request that comes meanwhile is taken without the
// wake-up of a sleeping thread, which costs several times what the
// service's own work on a frame does.
int WaitForEvents(int poller, epoll_event *events, int capacity, std::chrono::microseconds busyPoll);

}  // namespace host
