#include "host/service.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/driver.h"
#include "host/event_wait.h"
#include "host/left_changes.h"
#include "host/readiness.h"
#include "sim/client.h"
#include "sim/image.h"
#include "sim/io.h"
#include "sim/verifier.h"
#include "sim/world.h"

namespace host {
namespace {

// Wake-ups of the loop, or requests made, between two clearances of the
// records of finished requests.
constexpr uint64_t kForgetEvery = 256;

void Say(const std::string &line)
{
    std::fprintf(stderr, "rezezura-host: %s\n", line.c_str());
}

std::u16string DeviceName(const std::string &interface)
{
    return u"\\Device\\" + std::u16string(interface.begin(), interface.end());
}

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

bool Wanted(const Options &options, const Link &link)
{
    if (options.all) {
        return link.ethernet && !link.tap;  // a TAP is a program's, such as relayctl bridge's
    }
    return std::find(options.adapters.begin(), options.adapters.end(), link.name) != options.adapters.end();
}

// Whether the directory that will hold the socket keeps other users from
// putting their own file in its place: owned by root or this user, and
// writable by others only with the sticky bit, which keeps them from
// removing or renaming what is not theirs.
bool SafeDirectory(const std::string &path, std::string *error)
{
    std::string directory = path.substr(0, path.find_last_of('/') + 1);
    if (directory.empty()) {
        directory = ".";
    }
    struct stat held {};
    if (stat(directory.c_str(), &held) != 0) {
        *error = "cannot use the directory " + directory + " for the socket: " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(held.st_mode)) {
        *error = directory + " is not a directory; choose another --socket";
        return false;
    }
    bool othersWrite = (held.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (held.st_mode & S_ISVTX) == 0;
    if ((held.st_uid != 0 && held.st_uid != geteuid()) || othersWrite) {
        *error = "the directory " + directory + " of the socket can be written by other users; choose another --socket";
        return false;
    }
    return true;
}

// The socket's path, its directory made and checked, and no other service
// on it: what a service left there that did not stop is its own to clear.
bool ClaimSocketPath(const std::string &path, sockaddr_un *address, std::string *error)
{
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address->sun_path) {
        *error = "the socket path \"" + path + "\" is empty or too long";
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    if (path == kDefaultSocket && mkdir("/run/rezezura", 0755) != 0 && errno != EEXIST) {
        *error = std::string("cannot make the directory /run/rezezura: ") + std::strerror(errno);
        return false;
    }
    if (!SafeDirectory(path, error)) {
        return false;
    }
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = path + " exists and is not a socket; remove it or choose another --socket";
            return false;
        }
        int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        bool inUse = connect(probe, reinterpret_cast<const sockaddr *>(address), sizeof *address) == 0;
        close(probe);
        if (inUse) {
            *error = path + " is in use by another service; stop it or choose another --socket";
            return false;
        }
        unlink(path.c_str());  // left by a service that did not stop cleanly
    }
    return true;
}

}  // namespace

bool Service::StartOffer(const Link &link, const std::string &boundLine, std::string *error)
{
    if (!link.ethernet) {
        *error = link.name + " is not an Ethernet interface";
        return false;
    }
    std::shared_ptr<LinuxWire> wire =
        LinuxWire::Open(link, WireSettings{options_.everyFrame, options_.packetOptions, record_}, error);
    if (!wire) {
        return false;
    }
    sim::AdapterConfig config;
    config.name = DeviceName(link.name);
    std::copy(link.address.begin(), link.address.end(), config.stationAddress.begin());
    config.wire = wire;
    auto settled = std::make_shared<std::atomic<bool>>(false);
    HostAdapter fresh{wire, sim::CreateAdapter(config), Stage::Binding, settled,
                      std::chrono::steady_clock::now() + options_.moveLimit, boundLine, true, nullptr};
    HostAdapter &entry = adapters_.insert_or_assign(link.index, std::move(fresh)).first->second;
    entry.adapter.BeginArrival(Teller(entry.settled));
    ArmMoveTimer();
    return true;
}

void Service::StartWithdraw(HostAdapter &adapter, const std::string &cause, bool sayUnbound)
{
    Forget(adapter);
    if (adapter.stage == Stage::Binding && !adapter.settled->load()) {
        adapter.behind = adapter.settled;
    }
    adapter.stage = Stage::Unbinding;
    adapter.cause = cause;
    adapter.sayUnbound = sayUnbound;
    adapter.settled = std::make_shared<std::atomic<bool>>(false);
    adapter.deadline = std::chrono::steady_clock::now() + options_.moveLimit;
    adapter.adapter.BeginRemoval(Teller(adapter.settled));
    ArmMoveTimer();
}

std::function<void()> Service::Teller(const std::shared_ptr<std::atomic<bool>> &settled) const
{
    return [settled, bell = moved_] {
        settled->store(true);
        bell->Ring();
    };
}

void Service::Forget(HostAdapter &adapter)
{
    int socket = adapter.wire->Descriptor();
    if (wires_.erase(socket) != 0) {
        epoll_ctl(poller_, EPOLL_CTL_DEL, socket, nullptr);
    }
}

Service::~Service()
{
    for (int descriptor : {poller_, finished_, pauser_, moveTimer_}) {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
}

void Service::Watch(int socket, uint32_t events)
{
    epoll_event ready{};
    ready.events = events;
    ready.data.fd = socket;
    if (events == 0) {
        epoll_ctl(poller_, EPOLL_CTL_DEL, socket, nullptr);
    } else if (epoll_ctl(poller_, EPOLL_CTL_MOD, socket, &ready) != 0 && errno == ENOENT) {
        epoll_ctl(poller_, EPOLL_CTL_ADD, socket, &ready);
    }
}

void Service::Answering()
{
    // A receive mode an OID set asked for holds before its answer leaves.
    ApplyReceiveModes();
}

void Service::Finished()
{
    uint64_t one = 1;
    ssize_t written = write(finished_, &one, sizeof one);
    (void)written;
}

bool Service::Listen(std::string *error)
{
    const std::string &path = options_.socket;
    sockaddr_un address{};
    if (!ClaimSocketPath(path, &address, error)) {
        return false;
    }
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0) {
        *error = "cannot open a socket for " + path + ": " + std::strerror(errno);
        return false;
    }
    // Anyone may connect; the control device's security decides who opens
    // it. The socket is made with that mode, never changed by its path
    // after: bind gives the file the mode of the socket less the umask.
    if (fchmod(listener_, 0666) != 0) {
        *error = "cannot give the socket for " + path + " its mode: " + std::strerror(errno);
        return false;
    }
    mode_t saved = umask(0);
    int bound = bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    int cause = errno;
    umask(saved);
    if (bound != 0) {
        *error = "cannot create the socket " + path + ": " + std::strerror(cause);
        return false;
    }
    if (listen(listener_, 64) != 0) {
        *error = "cannot listen on " + path + ": " + std::strerror(errno);
        unlink(path.c_str());
        return false;
    }
    epoll_event ready{};
    ready.events = EPOLLIN;
    ready.data.fd = listener_;
    if (epoll_ctl(poller_, EPOLL_CTL_ADD, listener_, &ready) != 0) {
        *error = "cannot wait for clients on " + path + ": " + std::strerror(errno);
        unlink(path.c_str());
        return false;
    }
    return true;
}

void Service::Accept()
{
    for (;;) {
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
            PauseAccepting(errno);
            return;
        }
        if (client < 0) {
            starved_ = starved_ && errno != EAGAIN;  // every waiting client taken
            return;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            Say(std::string("refused a client whose credentials are unknown: ") + std::strerror(errno));
            close(client);
            continue;
        }
        connections_[client] = Connection::Open(client, peer, this);
    }
}

void Service::PauseAccepting(int cause)
{
    // The waiting client stays queued and the listener ready: watched, it
    // would wake the loop at once again, for nothing.
    epoll_ctl(poller_, EPOLL_CTL_DEL, listener_, nullptr);
    itimerspec pause{};
    pause.it_value.tv_sec = 1;
    timerfd_settime(pauser_, 0, &pause, nullptr);
    accepting_ = false;
    if (!starved_) {
        Say(std::string("cannot take a new client: ") + std::strerror(cause) +
            "; new clients wait until a connection closes");
    }
    starved_ = true;
}

void Service::ResumeAccepting()
{
    if (accepting_) {
        return;
    }
    uint64_t expirations;
    ssize_t got = read(pauser_, &expirations, sizeof expirations);
    (void)got;
    itimerspec off{};
    timerfd_settime(pauser_, 0, &off, nullptr);
    epoll_event ready{};
    ready.events = EPOLLIN;
    ready.data.fd = listener_;
    accepting_ = epoll_ctl(poller_, EPOLL_CTL_ADD, listener_, &ready) == 0;
}

void Service::Reap()
{
    uint64_t count;
    ssize_t got = read(finished_, &count, sizeof count);
    (void)got;
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->second->Finished()) {
            it = connections_.erase(it);
            ResumeAccepting();
        } else {
            ++it;
        }
    }
}

void Service::Settle()
{
    moved_->Answer();
    for (auto it = adapters_.begin(); it != adapters_.end();) {
        HostAdapter &adapter = it->second;
        if (adapter.behind && adapter.behind->load()) {
            adapter.behind.reset();
            adapter.deadline = std::chrono::steady_clock::now() + options_.moveLimit;
        }
        if (adapter.stage == Stage::Bound || !adapter.settled->load()) {
            ++it;
            continue;
        }
        const Link link = adapter.wire->Interface();
        const std::string device = "\\Device\\" + link.name;
        if (adapter.stage == Stage::Unbinding) {
            if (adapter.sayUnbound) {
                Say(device + ": " + adapter.cause + "; the driver unbound it");
            }
            adapter.wire->Stop();
            it = adapters_.erase(it);
            continue;
        }
        std::optional<NDIS_STATUS> bound = adapter.adapter.LatestBind().Result();
        if (bound != NDIS_STATUS_SUCCESS) {
            Say(bound ? "the driver refused " + device + " with NDIS status " + Hex32(*bound)
                      : "no driver took " + device);
            // Nothing is bound to unbind: the adapter only leaves the stack, and its records can go.
            adapter.adapter.BeginRemoval([] {});
            adapter.wire->Stop();
            it = adapters_.erase(it);
            continue;
        }
        epoll_event ready{};
        ready.events = EPOLLIN;
        ready.data.fd = adapter.wire->Descriptor();
        if (epoll_ctl(poller_, EPOLL_CTL_ADD, adapter.wire->Descriptor(), &ready) != 0) {
            Say("cannot wait for the frames of " + link.name + ": " + std::strerror(errno));
            StartWithdraw(adapter, "no frames could be taken from it", true);
            ++it;
            continue;
        }
        wires_[adapter.wire->Descriptor()] = it->first;
        adapter.stage = Stage::Bound;
        if (!adapter.cause.empty()) {
            Say(device + ": " + adapter.cause);
        }
        ++it;
    }
    ArmMoveTimer();
    Advance();
}

void Service::Overdue()
{
    uint64_t expirations;
    ssize_t got = read(moveTimer_, &expirations, sizeof expirations);
    (void)got;
    const auto now = std::chrono::steady_clock::now();
    for (auto it = adapters_.begin(); it != adapters_.end();) {
        HostAdapter &adapter = it->second;
        if (adapter.stage == Stage::Bound || adapter.settled->load() || adapter.deadline > now) {
            ++it;
            continue;
        }
        const std::string device = "\\Device\\" + adapter.wire->Interface().name;
        if (adapter.stage == Stage::Binding) {
            Say("the driver did not finish binding " + device + " within " +
                std::to_string(options_.moveLimit.count()) + " ms; the adapter is withdrawn");
            StartWithdraw(adapter, "the bind did not finish in time", true);
            ++it;
            continue;
        }
        Say(device + ": " + (adapter.cause.empty() ? "" : adapter.cause + "; ") +
            "the driver did not finish unbinding it");
        // An offer waiting for this unbind must not say it finished.
        for (WaitingChange &change : changes_) {
            if (change.event.link.index == it->first && !change.offerLine.empty()) {
                change.offerLine = "the interface's address changed; the driver bound it anew";
            }
        }
        adapter.wire->Stop();
        it = adapters_.erase(it);
    }
    ArmMoveTimer();
    Advance();
}

void Service::ArmMoveTimer()
{
    std::optional<std::chrono::steady_clock::time_point> earliest;
    for (const auto &[index, adapter] : adapters_) {
        if (adapter.stage != Stage::Bound && (!earliest || adapter.deadline < *earliest)) {
            earliest = adapter.deadline;
        }
    }
    itimerspec when{};
    if (earliest) {
        auto left = std::max<std::chrono::nanoseconds>(*earliest - std::chrono::steady_clock::now(),
                                                       std::chrono::nanoseconds(1));
        when.it_value.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(left.count() % 1000000000);
    }
    timerfd_settime(moveTimer_, 0, &when, nullptr);
}

bool Service::Moving() const
{
    return std::any_of(adapters_.begin(), adapters_.end(),
                       [](const auto &entry) { return entry.second.stage != Stage::Bound; });
}

void Service::AwaitMoves()
{
    // Each move ends by its deadline at the latest, which the timer keeps.
    while (Moving()) {
        pollfd ready[2] = {{moved_->Descriptor(), POLLIN, 0}, {moveTimer_, POLLIN, 0}};
        if (poll(ready, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            Say(std::string("waiting for the adapters failed: ") + std::strerror(errno));
            return;
        }
        if (ready[0].revents != 0) {
            Settle();
        }
        if (ready[1].revents != 0) {
            Overdue();
        }
    }
}

bool Service::OfferAppeared(const Link &link, const std::string &boundLine)
{
    if (!Wanted(options_, link) || !link.ethernet) {
        return true;
    }
    // Names are the kernel's and unique: an adapter still under this one
    // belongs to an interface renamed or gone in a message that was lost.
    // The new one waits until that adapter gave the name up.
    auto holder = std::find_if(adapters_.begin(), adapters_.end(),
                               [&](const auto &entry) { return entry.second.wire->Interface().name == link.name; });
    if (holder != adapters_.end()) {
        if (holder->second.stage == Stage::Bound) {
            StartWithdraw(holder->second, "another interface took the name", true);
        }
        return false;
    }
    std::string error;
    if (!StartOffer(link, boundLine, &error)) {
        Say(error);
    }
    return true;
}

void Service::FollowLinks()
{
    bool lost = false;
    std::vector<LinkEvent> events = monitor_.TakeEvents(&lost);
    if (lost) {
        // What is listed now stands for every change still waiting too.
        changes_.clear();
        events = Reconciliation();
    }
    for (LinkEvent &event : events) {
        changes_.push_back({std::move(event), ""});
    }
    Advance();
}

std::vector<LinkEvent> Service::Reconciliation()
{
    std::optional<std::vector<Link>> links;
    // A dump that a change interrupted says so (EINTR) and is asked again.
    for (int attempt = 0; attempt < 5 && !links; ++attempt) {
        links = DumpLinks();
        if (!links && errno != EINTR) {
            break;
        }
    }
    if (!links) {
        Say(std::string("rtnetlink dropped link changes, and the links cannot be listed again: ") +
            std::strerror(errno) + "; the adapters may not match the interfaces until they change again");
        return {};
    }
    Say("rtnetlink dropped link changes; the adapters follow the interfaces as listed again");
    std::vector<LinkEvent> events;
    // Removals first, so that a name an interface took from a removed one is free.
    for (const auto &[index, adapter] : adapters_) {
        if (std::none_of(links->begin(), links->end(), [index = index](const Link &link) { return link.index == index; })) {
            events.push_back({LinkChange::Removed, adapter.wire->Interface()});
        }
    }
    for (Link &link : *links) {
        events.push_back({LinkChange::Changed, std::move(link)});
    }
    return events;
}

void Service::Advance()
{
    if (stopping_) {
        return;
    }
    // A change waits behind an earlier one that waits for the same
    // interface or the same name; the others go on.
    std::set<int> heldIndexes;
    std::set<std::string> heldNames;
    for (auto it = changes_.begin(); it != changes_.end();) {
        const Link &link = it->event.link;
        bool held = heldIndexes.count(link.index) != 0 || heldNames.count(link.name) != 0;
        if (!held && Follow(*it)) {
            it = changes_.erase(it);
            continue;
        }
        heldIndexes.insert(link.index);
        heldNames.insert(link.name);
        ++it;
    }
}

bool Service::Follow(WaitingChange &change)
{
    const Link &link = change.event.link;
    auto found = adapters_.find(link.index);
    if (found == adapters_.end()) {
        if (change.event.change == LinkChange::Changed) {
            return OfferAppeared(link, change.offerLine.empty() ? "the interface appeared; the driver bound it"
                                                                : change.offerLine);
        }
        return true;
    }
    HostAdapter &adapter = found->second;
    if (adapter.stage != Stage::Bound) {
        return false;  // the bind or unbind under way ends first
    }
    const Link known = adapter.wire->Interface();
    if (change.event.change == LinkChange::Removed) {
        StartWithdraw(adapter, "the interface is gone", true);
        return true;
    }
    // An adapter's name is fixed for its life, as a running adapter's
    // station address is: Windows restarts an adapter whose address is
    // changed, which unbinds it and binds it anew. A renamed interface
    // is offered again under its new name. Either offer waits for the
    // unbind.
    if (link.name != known.name) {
        StartWithdraw(adapter, "the interface is now " + link.name, true);
        return false;
    }
    if (link.address != known.address) {
        StartWithdraw(adapter, "the interface's address changed", false);
        change.offerLine = "the interface's address changed; the driver unbound it and bound it again";
        return false;
    }
    adapter.wire->Update(link);
    if (link.carrier != known.carrier) {
        adapter.adapter.IndicateStatus(link.carrier ? NDIS_STATUS_MEDIA_CONNECT : NDIS_STATUS_MEDIA_DISCONNECT);
        Say("\\Device\\" + known.name + (link.carrier ? ": media connected" : ": media disconnected"));
    }
    return true;
}

void Service::ForgetRecords()
{
    sim::ForgetFinishedRequests();
    // One unbinding may be forgotten below before the loop hears it settled:
    // only its wire is touched after that.
    for (auto &[index, adapter] : adapters_) {
        if (adapter.stage == Stage::Bound) {
            adapter.adapter.ForgetRequests();
        }
    }
    sim::ForgetRemovedAdapters();
    // What a burst (a client flooding requests, a storm of connections)
    // freed stays with the allocator, the heap as large as at its peak,
    // unless it is asked to give it back.
    malloc_trim(0);
}

int Service::Stop(bool report)
{
    if (listener_ >= 0) {
        close(listener_);
        unlink(options_.socket.c_str());
    }
    // Windows' order: the clients' handles are cleaned up and closed first.
    // What the cleanup ends is answered if a socket takes it at once; a
    // client that does not read holds nothing up.
    for (const auto &[socket, connection] : connections_) {
        connection->Shut();
    }
    connections_.clear();
    // An unbind may have waited for a client's requests, which are ended now.
    stopping_ = true;
    AwaitMoves();
    bool closed = sim::WaitForDeferredCloses();
    bool unloaded = driver_.Stop();
    for (auto &[index, adapter] : adapters_) {
        Forget(adapter);
        adapter.wire->Stop();
    }
    std::vector<std::string> violations = sim::TakeViolations();
    std::vector<std::string> leaks = sim::Leaks();
    if (!closed) {
        leaks.push_back("a handle's close never reached the driver");
    }
    if (!unloaded) {
        leaks.push_back("the driver did not unload");
    }
    // Requests never completed are among the leaks; the rest completed once.
    size_t completed = sim::CompletedRequestCount();
    for (const std::string &violation : violations) {
        Say("verifier: " + violation);
    }
    for (const std::string &leak : leaks) {
        Say("left behind: " + leak);
    }
    // The sim lets go of what it kept for the account, its I/O manager's threads too.
    sim::ResetWorld();
    if (violations.empty() && leaks.empty()) {
        if (!report) {
            return 0;
        }
        Say("stopped; the verifier saw every rule kept, " + std::to_string(completed) +
            " requests each completed once and nothing left behind");
        return 0;
    }
    Say("stopped; the verifier found " + std::to_string(violations.size()) + " broken rule(s) and " +
        std::to_string(leaks.size()) + " thing(s) left behind");
    return 1;
}

void Service::Serve(int signals)
{
    for (int descriptor : {signals, monitor_.Descriptor(), finished_, pauser_, moved_->Descriptor(), moveTimer_}) {
        epoll_event ready{};
        ready.events = EPOLLIN;
        ready.data.fd = descriptor;
        if (epoll_ctl(poller_, EPOLL_CTL_ADD, descriptor, &ready) != 0) {
            Say(std::string("cannot wait for events: ") + std::strerror(errno));
            return;
        }
    }
    epoll_event events[64];
    uint64_t wakeUps = 0;
    size_t requestsSeen = sim::RequestCount();
    for (;;) {
        int count = WaitForEvents(poller_, events, static_cast<int>(std::size(events)), options_.busyPoll);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            Say(std::string("waiting for events failed: ") + std::strerror(errno));
            return;
        }
        for (int index = 0; index < count; ++index) {
            const int descriptor = events[index].data.fd;
            const uint32_t what = events[index].events;
            if (descriptor == signals) {
                signalfd_siginfo signal{};
                ssize_t got = read(signals, &signal, sizeof signal);
                (void)got;
                return;
            }
            if (descriptor == listener_) {
                Accept();
            } else if (descriptor == monitor_.Descriptor()) {
                FollowLinks();
            } else if (descriptor == finished_) {
                Reap();
            } else if (descriptor == pauser_) {
                ResumeAccepting();
            } else if (descriptor == moved_->Descriptor()) {
                Settle();
            } else if (descriptor == moveTimer_) {
                Overdue();
            } else if (auto wire = wires_.find(descriptor); wire != wires_.end()) {
                HostAdapter &adapter = adapters_.at(wire->second);
                if (!adapter.wire->Receive(adapter.adapter)) {
                    Forget(adapter);  // the interface is going; rtnetlink says so next
                }
            } else if (auto connection = connections_.find(descriptor); connection != connections_.end()) {
                // Held: a completion on another thread may finish it meanwhile.
                std::shared_ptr<Connection> held = connection->second;
                if ((what & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
                    held->Writable();
                }
                held->Readable();
            }
        }
        // What a binding's close changed of the receive mode reaches the interface too.
        ApplyReceiveModes();
        // So many wake-ups or requests, whichever comes first: a client
        // flooding requests makes thousands in a few wake-ups.
        if (++wakeUps % kForgetEvery == 0 || sim::RequestCount() - requestsSeen >= kForgetEvery) {
            requestsSeen = sim::RequestCount();
            ForgetRecords();
        }
    }
}

int Service::Run(const Options &options, int signals)
{
    options_ = options;
    sim::ResetWorld();
    if (!monitor_.Open()) {
        Say(std::string("cannot follow the interfaces through rtnetlink: ") + std::strerror(errno));
        return 1;
    }
    std::optional<std::vector<Link>> links = DumpLinks();
    if (!links) {
        Say(std::string("cannot list the interfaces through rtnetlink: ") + std::strerror(errno));
        return 1;
    }
    std::vector<Link> chosen;
    for (const std::string &name : options_.adapters) {
        auto found = std::find_if(links->begin(), links->end(), [&](const Link &link) { return link.name == name; });
        if (found == links->end()) {
            Say("no interface named " + name + "; `ip link` lists them");
            return 1;
        }
        chosen.push_back(*found);
    }
    if (options_.all) {
        std::copy_if(links->begin(), links->end(), std::back_inserter(chosen),
                     [this](const Link &link) { return Wanted(options_, link); });
    }
    // What a service on this socket that was killed left on its interfaces
    // goes before any adapter is offered.
    std::string error;
    std::string undone;
    sockaddr_un address{};
    if (!ClaimSocketPath(options_.socket, &address, &error) ||
        !UndoLeftChanges(ChangeRecordPath(options_.socket), &undone, &error)) {
        Say(error);
        return 1;
    }
    if (!undone.empty()) {
        Say(undone);
    }
    record_ = std::make_shared<ChangeRecord>(ChangeRecordPath(options_.socket));
    poller_ = epoll_create1(EPOLL_CLOEXEC);
    finished_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pauser_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    moveTimer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    moved_ = Doorbell::Make();
    if (poller_ < 0 || finished_ < 0 || pauser_ < 0 || moveTimer_ < 0 || !moved_) {
        Say(std::string("cannot make the service's event loop: ") + std::strerror(errno));
        return 1;
    }
    std::string refusal;
    NTSTATUS loaded = options_.image ? sim::LoadDriverImage(*options_.image, u"rezezura", &driver_, &refusal)
                                     : sim::Driver::Load(DriverEntry, u"rezezura", &driver_);
    if (!NT_SUCCESS(loaded)) {
        Say("the driver failed to load: " +
            (options_.image ? refusal + " (" + Hex32(static_cast<uint32_t>(loaded)) + ")"
                            : "DriverEntry returned " + Hex32(static_cast<uint32_t>(loaded))));
        return 1;
    }
    for (const Link &link : chosen) {
        if (!StartOffer(link, "", &error)) {
            Say(error);
            Stop(false);
            return 1;
        }
    }
    // No client is served before every adapter named is bound; a bind
    // that fails or never completes said so in its line.
    AwaitMoves();
    bool bound = std::all_of(chosen.begin(), chosen.end(), [this](const Link &link) {
        auto found = adapters_.find(link.index);
        return found != adapters_.end() && found->second.stage == Stage::Bound;
    });
    if (!bound || !Listen(&error)) {
        if (bound) {
            Say(error);
        }
        Stop(false);
        return 1;
    }
    std::string names;
    for (const auto &[index, adapter] : adapters_) {
        names += (names.empty() ? "" : ", ") + std::string("\\Device\\") + adapter.wire->Interface().name;
    }
    std::string serving = "serving " + (names.empty() ? std::string("no adapter yet") : names) + " on " +
                          options_.socket +
                          (options_.image ? " with the image " + *options_.image : std::string(" with the driver linked in"));
    Say(serving);
    TellManagerReady(serving);

    Serve(signals);
    TellManagerStopping();
    return Stop(true);
}

}  // namespace host
