// Between the client handles and the driver loader.
#pragma once

#include <functional>

#include "platform/io.h"

namespace sim {

// The I/O manager's part of the calling thread's exit, made by the thread
// itself while its state is whole: its requests still pending are cancelled.
// A thread that does not call it has them cancelled as its thread-local
// state goes.
void CancelExitingThreadRequests();

// Called on the thread that closed a driver's last open file.
void SetLastFileClosedAction(std::function<void(PDRIVER_OBJECT)> action);

}  // namespace sim
