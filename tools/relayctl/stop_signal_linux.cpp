#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tools/relayctl/stop_signal.h"

namespace {

std::mutex g_lock;
rezezura_client *g_client = nullptr;
std::atomic<bool> g_stopped{false};

sigset_t StopSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

void WatchStopSignals()
{
    sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) {
                continue;
            }
            g_stopped = true;
            std::lock_guard<std::mutex> guard(g_lock);
            if (g_client != nullptr) {
                rezezura_cancel(g_client);
            }
        }
    }).detach();
}

void CancelOnStop(rezezura_client *client)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_client = client;
    if (client != nullptr && g_stopped) {
        rezezura_cancel(client);
    }
}

bool StopRequested()
{
    return g_stopped;
}

rezezura_result ReadUnlessStopped(rezezura_client *client, void *frame, uint32_t length, uint32_t timeout_ms)
{
    rezezura_request *request = nullptr;
    rezezura_result started = rezezura_start_read(client, frame, length, &request);
    if (!rezezura_succeeded(started)) {
        return started;
    }
    // The watcher marks the stop before it cancels; a read started after its
    // cancel sees the mark here, one started before is cancelled by it.
    if (g_stopped) {
        rezezura_cancel(client);
    }
    return rezezura_finish(request, timeout_ms);
}
