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

// One read, ended by a stop that comes at any moment: during the read, or
// before it started, when the cancel found nothing in flight. A stop ends it
// with REZEZURA_STATUS_CANCELLED, so that a run of reads ends between two
// reads as surely as during one.
rezezura_result ReadUnlessStopped(rezezura_client *client, void *frame, uint32_t length, uint32_t timeout_ms);
