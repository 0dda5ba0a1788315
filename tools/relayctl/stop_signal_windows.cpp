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
