// NDIS events over the KEVENT's signal state, with one condition variable
// shared by every event: waits are rare and short, sharing keeps the event
// record the platform's own.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/ndis.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/schedule.h"

namespace {

std::mutex g_lock;
std::condition_variable g_signalled;

}  // namespace

extern "C" {

VOID NTAPI NdisInitializeEvent(PNDIS_EVENT Event)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Event->Event.Header.Type = 0;  // NotificationEvent
    Event->Event.Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Event.Header.SignalState = 0;
    InitializeListHead(&Event->Event.Header.WaitListHead);
}

VOID NTAPI NdisSetEvent(PNDIS_EVENT Event)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisSetEvent");
    std::lock_guard<std::mutex> guard(g_lock);
    Event->Event.Header.SignalState = 1;
    g_signalled.notify_all();
}

VOID NTAPI NdisResetEvent(PNDIS_EVENT Event)
{
    std::lock_guard<std::mutex> guard(g_lock);
    Event->Event.Header.SignalState = 0;
}

BOOLEAN NTAPI NdisWaitEvent(PNDIS_EVENT Event, UINT MsToWait)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "NdisWaitEvent");
    sim::HookPoint("NdisWaitEvent");
    std::unique_lock<std::mutex> guard(g_lock);
    auto signalled = [Event] { return Event->Event.Header.SignalState != 0; };
    if (MsToWait == 0) {
        while (!sim::schedule::WaitFor(g_signalled, guard, std::chrono::hours(1), signalled)) {
        }
        return TRUE;
    }
    return sim::schedule::WaitFor(g_signalled, guard, std::chrono::milliseconds(MsToWait), signalled) ? TRUE : FALSE;
}

}  // extern "C"
