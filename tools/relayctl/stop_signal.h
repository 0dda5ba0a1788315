// SIGTERM and SIGINT (Ctrl+C, Ctrl+Break on Windows) as a request to stop:
// the requests in flight on the watched client are cancelled, and the
// command ends as it would after its last frame.
#pragma once

#include "client/rezezura_client.h"

// Call once, before any other thread starts.
void WatchStopSignals();
// The client whose requests a stop cancels; nullptr before closing it.
void CancelOnStop(rezezura_client *client);
bool StopRequested();
