// rezezura-host: the driver loaded on the sim, adapters backed by Linux
// interfaces, and the client socket, from start to the verifier's verdict.
// One thread serves everything: an epoll loop over the stop signals, the
// listening socket, rtnetlink, each interface's packet socket and each
// client's socket, none of them blocking, the driver called inline.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <cstdint>

#include "host/change_record.h"
#include "host/connection.h"
#include "host/links.h"
#include "host/linux_wire.h"
#include "host/options.h"
#include "sim/driver.h"
#include "sim/ndis.h"

namespace host {

class Service : private ConnectionWatcher {
public:
    ~Service() override;
    // Runs until SIGTERM or SIGINT (blocked by the caller in every thread)
    // arrives on `signals`, a signalfd; returns the exit status.
    int Run(const Options &options, int signals);

private:
    struct HostAdapter {
        std::shared_ptr<LinuxWire> wire;
        sim::Adapter adapter;
    };

    void Watch(int socket, uint32_t events) override;
    void Finished() override;
    void Answering() override;

    bool Offer(const Link &link, std::string *error);
    // Stops taking frames from the adapter's wire; the wire itself stops after the unbind.
    void Forget(HostAdapter &adapter);
    // Removes the adapter: stops its wire's frames, unbinds it, and lets go
    // of its wire; false when the driver did not finish unbinding it.
    bool Withdraw(std::map<int, HostAdapter>::iterator found);
    // Offers an interface that appeared (or took a new name) when wanted.
    void OfferAppeared(const Link &link);
    bool Listen(std::string *error);
    void Accept();
    // Out of descriptors or memory for a client: the listener rests until
    // a connection closes or the pause ends, rather than waking the loop
    // again and again.
    void PauseAccepting(int cause);
    void ResumeAccepting();
    void Reap();
    void FollowLinks();
    // What the links are now, as events that bring the adapters to them.
    std::vector<LinkEvent> Reconciliation();
    void Follow(const LinkEvent &event);
    void Serve(int signals);
    // Ends everything; the verifier's verdict in one line when `report`,
    // otherwise only what it found wrong.
    int Stop(bool report);

    Options options_;
    sim::Driver driver_;
    LinkMonitor monitor_;
    std::shared_ptr<ChangeRecord> record_;  // what the wires changed on interfaces themselves
    std::map<int, HostAdapter> adapters_;  // by interface index
    std::map<int, int> wires_;             // interface index by packet socket
    std::map<int, std::shared_ptr<Connection>> connections_;  // by socket
    int poller_ = -1;    // epoll
    int listener_ = -1;
    int finished_ = -1;  // eventfd: a connection finished
    int pauser_ = -1;    // timerfd: the end of a pause in taking clients
    bool accepting_ = true;
    bool starved_ = false;  // said that clients wait, and some still do
};

}  // namespace host
