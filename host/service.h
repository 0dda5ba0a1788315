// rezezura-host: the driver loaded on the sim, adapters backed by Linux
// interfaces, and the client socket, from start to the verifier's verdict.
// One thread serves everything: an epoll loop over the stop signals, the
// listening socket, rtnetlink, each interface's packet socket and each
// client's socket, none of them blocking, the driver called inline.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <cstdint>

#include "host/change_record.h"
#include "host/connection.h"
#include "host/doorbell.h"
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
    // An adapter is offered to the driver and taken from it on a thread of
    // the stack's own; the loop goes on serving meanwhile, and finishes the
    // move when the stack says it settled or its time ran out.
    enum class Stage { Binding, Bound, Unbinding };
    struct HostAdapter {
        std::shared_ptr<LinuxWire> wire;
        sim::Adapter adapter;
        Stage stage = Stage::Binding;
        // Set, from any thread, once the stack's move on the adapter is over.
        std::shared_ptr<std::atomic<bool>> settled;
        std::chrono::steady_clock::time_point deadline;  // of the move
        // Why the move was made: the bound line itself, or what comes
        // before "the driver unbound it"; said when the move ends well,
        // unless empty (or, for a removal, unless `sayUnbound` is false).
        std::string cause;
        bool sayUnbound = true;
        // A withdrawal asked for while the stack was still making the late
        // bind it follows: the bind's own flag. The stack unbinds only once
        // that bind is over, and the unbind's time starts then.
        std::shared_ptr<std::atomic<bool>> behind;
    };
    // A link change waiting for its turn, with what the interface's offer,
    // if it comes to one, is to say once bound.
    struct WaitingChange {
        LinkEvent event;
        std::string offerLine;
    };

    void Watch(int socket, uint32_t events) override;
    void Finished() override;
    void Answering() override;

    // Starts the interface's bind; false, with the reason, when there is
    // no adapter to offer.
    bool StartOffer(const Link &link, const std::string &boundLine, std::string *error);
    // Stops taking frames from the adapter's wire and starts its removal.
    void StartWithdraw(HostAdapter &adapter, const std::string &cause, bool sayUnbound);
    // What the stack's moves tell: sets `settled` and wakes the loop.
    std::function<void()> Teller(const std::shared_ptr<std::atomic<bool>> &settled) const;
    // Stops taking frames from the adapter's wire; the wire itself stops after the unbind.
    void Forget(HostAdapter &adapter);
    // Finishes the moves the stack says settled, then the moves past their time.
    void Settle();
    void Overdue();
    void ArmMoveTimer();
    bool Moving() const;
    // Runs the moves under way to their end, settled or overdue, outside the loop.
    void AwaitMoves();
    // Offers an interface that appeared (or took a new name) when wanted;
    // false when it must wait for another adapter to give up its name.
    bool OfferAppeared(const Link &link, const std::string &boundLine);
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
    // Follows the waiting link changes in order, each interface's after
    // the move that holds it ends.
    void Advance();
    // False when the change waits for a move (one under way, or one it started).
    bool Follow(WaitingChange &change);
    // Lets go of the records the sim keeps of requests finished, files
    // closed and adapters gone, and gives the memory they held back to the system.
    void ForgetRecords();
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
    std::deque<WaitingChange> changes_;
    std::map<int, std::shared_ptr<Connection>> connections_;  // by socket
    int poller_ = -1;    // epoll
    int listener_ = -1;
    int finished_ = -1;  // eventfd: a connection finished
    int pauser_ = -1;    // timerfd: the end of a pause in taking clients
    int moveTimer_ = -1;  // timerfd: the earliest end of an adapter's move
    std::shared_ptr<Doorbell> moved_;  // an adapter's move settled
    bool stopping_ = false;
    bool accepting_ = true;
    bool starved_ = false;  // said that clients wait, and some still do
};

}  // namespace host
