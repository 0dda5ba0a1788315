#include "bench/veth_world.h"

#include "bench/child_process.h"
#include "bench/table.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace bench {
namespace {

constexpr std::chrono::milliseconds kStartLimit{15000};
constexpr std::chrono::milliseconds kStopLimit{15000};
constexpr uint8_t kMagic[4] = {'r', 'z', 'b', 'n'};

bool Run(const std::vector<std::string> &arguments)
{
    return ReapChild(SpawnChild(arguments, -1), kStopLimit) == 0;
}

}  // namespace

VethWorld::VethWorld()
{
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home_ < 0 || unshare(CLONE_NEWNET) != 0) {
        error_ = std::string(kCannotRunHere) + "a network namespace needs root (" + std::strerror(errno) + ")";
        return;
    }
    entered_ = true;
    if (!Run({"ip", "link", "add", kNear, "type", "veth", "peer", "name", kFar}) ||
        !Run({"ip", "link", "set", kNear, "up"}) || !Run({"ip", "link", "set", kFar, "up"})) {
        error_ = std::string(kCannotRunHere) + "`ip link add ... type veth` failed";
    }
}

VethWorld::~VethWorld()
{
    if (entered_) {
        Run({"ip", "link", "del", kNear});
        setns(home_, CLONE_NEWNET);
    }
    if (home_ >= 0) {
        close(home_);
    }
}

Mac VethWorld::AddressOf(const char *interface)
{
    Mac address{};
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, interface, IFNAMSIZ - 1);
    if (control >= 0 && ioctl(control, SIOCGIFHWADDR, &request) == 0) {
        std::memcpy(address.data(), request.ifr_hwaddr.sa_data, address.size());
    }
    if (control >= 0) {
        close(control);
    }
    return address;
}

RawPort::RawPort(const char *interface)
{
    socket_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(if_nametoindex(interface));
    // Room for every frame of a burst, so that none is dropped before it is counted.
    int room = 16 << 20;
    if (socket_ >= 0 && (bind(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
                         setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)) {
        close(socket_);
        socket_ = -1;
    }
}

RawPort::~RawPort()
{
    if (socket_ >= 0) {
        close(socket_);
    }
}

bool RawPort::Send(const std::vector<uint8_t> &frame) const
{
    return send(socket_, frame.data(), frame.size(), 0) == static_cast<ssize_t>(frame.size());
}

bool RawPort::Receive(std::vector<uint8_t> &frame, std::chrono::milliseconds limit) const
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        frame.resize(1518);
        ssize_t got = recvfrom(socket_, frame.data(), frame.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                               &length);
        if (got >= 14 && from.sll_pkttype != PACKET_OUTGOING && frame[12] == 0x88 && frame[13] == 0x8E) {
            frame.resize(static_cast<size_t>(got));
            return true;
        }
        if (got >= 0 || errno == EINTR) {
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd wait{socket_, POLLIN, 0};
        if (errno != EAGAIN || left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
    }
}

ServiceProcess::ServiceProcess()
    : socket_("/tmp/rezezura-bench-" + std::to_string(getpid()) + ".sock")
{
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) {
        error_ = "no pipe for the service's output";
        return;
    }
    pid_ = SpawnChild({REZEZURA_HOST_PATH, "--socket", socket_, "--adapter", VethWorld::kNear}, pipe[1]);
    close(pipe[1]);
    output_ = pipe[0];
    setenv("REZEZURA_SOCKET", socket_.c_str(), 1);
    // Ready once it says it serves.
    std::string said;
    auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (said.find("rezezura-host: serving") == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd wait{output_, POLLIN, 0};
        char chunk[512];
        ssize_t got = 0;
        if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0 ||
            (got = read(output_, chunk, sizeof chunk)) <= 0) {
            error_ = "rezezura-host did not start: " + (said.empty() ? std::string("(it said nothing)") : said);
            return;
        }
        said.append(chunk, static_cast<size_t>(got));
    }
}

ServiceProcess::~ServiceProcess()
{
    unsetenv("REZEZURA_SOCKET");
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (output_ >= 0) {
            close(output_);  // what it says while stopping is not needed
        }
        ReapChild(pid_, kStopLimit);
    } else if (output_ >= 0) {
        close(output_);
    }
    unlink(socket_.c_str());
}

std::vector<uint8_t> TaggedFrame(const Mac &destination, const Mac &source, uint32_t tag, uint32_t sequence)
{
    std::vector<uint8_t> frame(60, 0);
    std::memcpy(frame.data(), destination.data(), 6);
    std::memcpy(frame.data() + 6, source.data(), 6);
    frame[12] = 0x88;
    frame[13] = 0x8E;
    frame[14] = 0x02;  // EAPOL version 2, an EAP packet of no length; the tag rides in the padding
    std::memcpy(frame.data() + 18, kMagic, sizeof kMagic);
    std::memcpy(frame.data() + 22, &tag, sizeof tag);
    std::memcpy(frame.data() + 26, &sequence, sizeof sequence);
    return frame;
}

std::optional<std::pair<uint32_t, uint32_t>> TagOf(const uint8_t *frame, size_t length)
{
    if (length < 30 || std::memcmp(frame + 18, kMagic, sizeof kMagic) != 0) {
        return std::nullopt;
    }
    uint32_t tag;
    uint32_t sequence;
    std::memcpy(&tag, frame + 22, sizeof tag);
    std::memcpy(&sequence, frame + 26, sizeof sequence);
    return std::pair{tag, sequence};
}

}  // namespace bench
