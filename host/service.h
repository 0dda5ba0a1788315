// rezezura-host: the driver loaded on the sim, adapters backed by Linux
// interfaces, and the client socket, from start to the verifier's verdict.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/connection.h"
#include "host/links.h"
#include "host/linux_wire.h"
#include "host/options.h"
#include "sim/driver.h"
#include "sim/ndis.h"

namespace host {

class Service {
public:
    // Runs until SIGTERM or SIGINT (blocked by the caller in every thread)
    // arrives on `signals`, a signalfd; returns the exit status.
    int Run(const Options &options, int signals);

private:
    struct HostAdapter {
        std::shared_ptr<LinuxWire> wire;
        sim::Adapter adapter;
    };

    bool Offer(const Link &link, std::string *error);
    bool Listen(std::string *error);
    void Accept();
    void Reap(bool all);
    void FollowLinks();
    // Ends everything; the verifier's verdict in one line when `report`,
    // otherwise only what it found wrong.
    int Stop(bool report);

    Options options_;
    sim::Driver driver_;
    LinkMonitor monitor_;
    std::map<int, HostAdapter> adapters_;  // by interface index
    int listener_ = -1;
    int finished_ = -1;  // eventfd: a connection finished
    std::vector<std::shared_ptr<Connection>> connections_;
};

}  // namespace host
