// What the service tells the service manager that started it (systemd's
// notification socket, through libsystemd): that it serves, and that it is
// stopping. Nothing is sent when no manager asked (NOTIFY_SOCKET unset).
#pragma once

#include <string>

namespace host {

void TellManagerReady(const std::string &status);
void TellManagerStopping();

}  // namespace host
