#include "host/service.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/driver.h"
#include "sim/client.h"
#include "sim/image.h"
#include "sim/io.h"
#include "sim/verifier.h"
#include "sim/world.h"

namespace host {
namespace {

constexpr auto kBindLimit = std::chrono::seconds(10);

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

}  // namespace

bool Service::Offer(const Link &link, std::string *error)
{
    std::string device = "\\Device\\" + link.name;
    if (!link.ethernet) {
        *error = link.name + " is not an Ethernet interface";
        return false;
    }
    std::shared_ptr<LinuxWire> wire = LinuxWire::Open(link, error);
    if (!wire) {
        return false;
    }
    sim::AdapterConfig config;
    config.name = DeviceName(link.name);
    std::copy(link.address.begin(), link.address.end(), config.stationAddress.begin());
    config.wire = wire;
    sim::Adapter adapter = sim::CreateAdapter(config);
    wire->Start(adapter);
    adapter.Arrive();
    std::optional<NDIS_STATUS> bound =
        adapter.WaitBindCompleted(kBindLimit) ? adapter.LatestBind().Result() : std::nullopt;
    if (bound != NDIS_STATUS_SUCCESS) {
        wire->Stop();
        *error = bound ? "the driver refused " + device + " with NDIS status " + Hex32(*bound)
                       : "the driver did not finish binding " + device;
        return false;
    }
    adapters_.emplace(link.index, HostAdapter{wire, adapter});
    return true;
}

bool Service::Listen(std::string *error)
{
    const std::string &path = options_.socket;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        *error = "the socket path \"" + path + "\" is empty or too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (path == kDefaultSocket) {
        mkdir("/run/rezezura", 0755);
    }
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = path + " exists and is not a socket; remove it or choose another --socket";
            return false;
        }
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool inUse = connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        close(probe);
        if (inUse) {
            *error = path + " is in use by another service; stop it or choose another --socket";
            return false;
        }
        unlink(path.c_str());  // left by a service that did not stop cleanly
    }
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        *error = "cannot create the socket " + path + ": " + std::strerror(errno);
        return false;
    }
    // Anyone may connect; the control device's security decides who opens it.
    if (chmod(path.c_str(), 0666) != 0 || listen(listener_, 64) != 0) {
        *error = "cannot listen on " + path + ": " + std::strerror(errno);
        unlink(path.c_str());
        return false;
    }
    return true;
}

void Service::Accept()
{
    for (;;) {
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            Say(std::string("refused a client whose credentials are unknown: ") + std::strerror(errno));
            close(client);
            continue;
        }
        connections_.push_back(Connection::Start(client, peer, finished_));
    }
}

void Service::Reap(bool all)
{
    uint64_t count;
    ssize_t got = read(finished_, &count, sizeof count);
    (void)got;
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (all || (*it)->Finished()) {
            (*it)->Join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void Service::FollowLinks()
{
    for (const LinkEvent &event : monitor_.TakeEvents()) {
        const Link &link = event.link;
        auto found = adapters_.find(link.index);
        if (found == adapters_.end()) {
            std::string error;
            if (event.change == LinkChange::Changed && Wanted(options_, link) && link.ethernet) {
                if (Offer(link, &error)) {
                    Say("\\Device\\" + link.name + ": the interface appeared; the driver bound it");
                } else {
                    Say(error);
                }
            }
            continue;
        }
        HostAdapter &adapter = found->second;
        std::string device = "\\Device\\" + adapter.wire->Interface().name;
        if (event.change == LinkChange::Removed) {
            bool unbound = adapter.adapter.Remove();
            adapter.wire->Stop();
            adapters_.erase(found);
            Say(device + ": the interface is gone; " +
                (unbound ? "the driver unbound it" : "the driver did not finish unbinding it"));
            continue;
        }
        // A running adapter's station address is fixed; Windows restarts an
        // adapter whose address is changed, which unbinds it and binds it anew.
        if (link.address != adapter.wire->Interface().address) {
            bool unbound = adapter.adapter.Remove();
            adapter.wire->Stop();
            adapters_.erase(found);
            std::string error;
            if (!unbound) {
                Say(device + ": the interface's address changed; the driver did not finish unbinding it");
            } else if (Offer(link, &error)) {
                Say(device + ": the interface's address changed; the driver unbound it and bound it again");
            } else {
                Say(error);
            }
            continue;
        }
        bool hadCarrier = adapter.wire->Interface().carrier;
        adapter.wire->Update(link);
        if (link.carrier != hadCarrier) {
            adapter.adapter.IndicateStatus(link.carrier ? NDIS_STATUS_MEDIA_CONNECT : NDIS_STATUS_MEDIA_DISCONNECT);
            Say(device + (link.carrier ? ": media connected" : ": media disconnected"));
        }
    }
}

int Service::Stop(bool report)
{
    if (listener_ >= 0) {
        close(listener_);
        unlink(options_.socket.c_str());
    }
    // Windows' order: the clients' handles are cleaned up and closed first.
    for (const std::shared_ptr<Connection> &connection : connections_) {
        connection->Shut();
    }
    Reap(true);
    bool closed = sim::WaitForDeferredCloses();
    bool unloaded = driver_.Stop();
    for (auto &[index, adapter] : adapters_) {
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
    finished_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::string refusal;
    NTSTATUS loaded = options_.image ? sim::LoadDriverImage(*options_.image, u"rezezura", &driver_, &refusal)
                                     : sim::Driver::Load(DriverEntry, u"rezezura", &driver_);
    if (!NT_SUCCESS(loaded)) {
        Say("the driver failed to load: " +
            (options_.image ? refusal + " (" + Hex32(static_cast<uint32_t>(loaded)) + ")"
                            : "DriverEntry returned " + Hex32(static_cast<uint32_t>(loaded))));
        return 1;
    }
    std::string error;
    bool ready = true;
    for (const Link &link : chosen) {
        if (!Offer(link, &error)) {
            ready = false;
            break;
        }
    }
    if (ready && !Listen(&error)) {
        ready = false;
    }
    if (!ready) {
        Say(error);
        Stop(false);
        return 1;
    }
    std::string names;
    for (const auto &[index, adapter] : adapters_) {
        names += (names.empty() ? "" : ", ") + std::string("\\Device\\") + adapter.wire->Interface().name;
    }
    Say("serving " + (names.empty() ? std::string("no adapter yet") : names) + " on " + options_.socket +
        (options_.image ? " with the image " + *options_.image : std::string(" with the driver linked in")));

    pollfd waits[4] = {{signals, POLLIN, 0}, {listener_, POLLIN, 0}, {monitor_.Descriptor(), POLLIN, 0},
                       {finished_, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 4, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            Say(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (waits[0].revents != 0) {
            signalfd_siginfo signal{};
            ssize_t got = read(signals, &signal, sizeof signal);
            (void)got;
            break;
        }
        if (waits[1].revents != 0) {
            Accept();
        }
        if (waits[2].revents != 0) {
            FollowLinks();
        }
        if (waits[3].revents != 0) {
            Reap(false);
        }
    }
    return Stop(true);
}

}  // namespace host
