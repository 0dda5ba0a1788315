#include "host/readiness.h"

#include <systemd/sd-daemon.h>

namespace host {

void TellManagerReady(const std::string &status)
{
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void TellManagerStopping()
{
    sd_notify(0, "STOPPING=1");
}

}  // namespace host
