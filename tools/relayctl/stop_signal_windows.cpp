// On Windows Ctrl+C ends relayctl as it ends any console program: the
// handle's close cancels what was in flight, and no command keeps anything
// that needs finishing.
#include "tools/relayctl/stop_signal.h"

void WatchStopSignals()
{
}

void CancelOnStop(rezezura_client *)
{
}

bool StopRequested()
{
    return false;
}

rezezura_result ReadUnlessStopped(rezezura_client *client, void *frame, uint32_t length, uint32_t timeout_ms)
{
    return rezezura_read(client, frame, length, timeout_ms);
}
