#include "host/event_wait.h"

#include <sched.h>

namespace host {

int WaitForEvents(int poller, epoll_event *events, int capacity, std::chrono::microseconds busyPoll)
{
    if (busyPoll.count() > 0) {
        const auto until = std::chrono::steady_clock::now() + busyPoll;
        for (;;) {
            int count = epoll_wait(poller, events, capacity, 0);
            if (count != 0) {
                return count;
            }
            if (std::chrono::steady_clock::now() >= until) {
                break;
            }
            // A thread woken meanwhile on this processor, such as the
            // client a frame was just sent to, goes first.
            sched_yield();
        }
    }
    return epoll_wait(poller, events, capacity, -1);
}

}  // namespace host
