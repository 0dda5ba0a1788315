// Between the client handles and the driver loader.
#pragma once

#include <functional>

#include "platform/io.h"

namespace sim {

// Called on the thread that closed a driver's last open file.
void SetLastFileClosedAction(std::function<void(PDRIVER_OBJECT)> action);

}  // namespace sim
