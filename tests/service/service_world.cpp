#include "tests/service/service_world.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace service_test {
namespace {

std::atomic<int> g_serial{0};

constexpr unsigned kLowerUp = 0x10000;  // IFF_LOWER_UP, which <net/if.h> leaves out

std::string FreshName(const char *prefix)
{
    return std::string(prefix) + std::to_string(g_serial++);
}

}  // namespace

bool EnterPrivateNetwork()
{
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    return RunProgram({"ip", "link", "set", "lo", "up"}) == 0;
}

int RunProgram(const std::vector<std::string> &arguments)
{
    pid_t child = fork();
    if (child == 0) {
        std::vector<char *> argv;
        for (const std::string &argument : arguments) {
            argv.push_back(const_cast<char *>(argument.c_str()));
        }
        argv.push_back(nullptr);
        int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

LinkWatch::LinkWatch()
{
    socket_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK;
    // Room for a storm of changes, so that none is dropped before it is read;
    // in a user namespace of its own (the qemu road) the test may only ask
    // for what the system allows anyone, which its few changes fit in.
    int room = 16 << 20;
    bool roomy = socket_ >= 0 && (setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) == 0 ||
                                  setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room) == 0);
    if (!roomy || bind(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot follow link changes");
    }
}

LinkWatch::~LinkWatch()
{
    close(socket_);
}

bool LinkWatch::WaitForCarrier(const std::string &interface, bool on, std::chrono::milliseconds limit)
{
    if (reported_.count({interface, on}) != 0) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{socket_, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) {
            return false;
        }
        ssize_t received = recv(socket_, buffer, sizeof buffer, 0);
        if (received < 0) {
            return false;
        }
        int length = static_cast<int>(received);
        for (auto *message = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(message, length);
             message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_type != RTM_NEWLINK) {
                continue;
            }
            auto *info = static_cast<ifinfomsg *>(NLMSG_DATA(message));
            int attributesLength = static_cast<int>(IFLA_PAYLOAD(message));
            for (rtattr *attribute = IFLA_RTA(info); RTA_OK(attribute, attributesLength);
                 attribute = RTA_NEXT(attribute, attributesLength)) {
                if (attribute->rta_type == IFLA_IFNAME) {
                    reported_.insert({static_cast<const char *>(RTA_DATA(attribute)), (info->ifi_flags & kLowerUp) != 0});
                }
            }
        }
        if (reported_.count({interface, on}) != 0) {
            return true;
        }
    }
}

VethPair::VethPair() : near_(FreshName("rzn")), far_(FreshName("rzf"))
{
    if (RunProgram({"ip", "link", "add", near_, "type", "veth", "peer", "name", far_}) != 0 ||
        RunProgram({"ip", "link", "set", near_, "up"}) != 0 || RunProgram({"ip", "link", "set", far_, "up"}) != 0) {
        throw std::runtime_error("cannot make the veth pair " + near_ + "/" + far_);
    }
}

VethPair::~VethPair()
{
    if (if_nametoindex(near_.c_str()) != 0) {
        RunProgram({"ip", "link", "del", near_});
    }
}

Mac VethPair::NearAddress() const
{
    return AddressOf(near_);
}

Mac VethPair::AddressOf(const std::string &interface)
{
    Mac address{};
    int control = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    if (ioctl(control, SIOCGIFHWADDR, &request) == 0) {
        std::memcpy(address.data(), request.ifr_hwaddr.sa_data, address.size());
    }
    close(control);
    return address;
}

RawPort::RawPort(const std::string &interface)
{
    socket_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(if_nametoindex(interface.c_str()));
    if (socket_ < 0 || bind(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot open a packet socket on " + interface);
    }
}

RawPort::~RawPort()
{
    close(socket_);
}

void RawPort::Send(const Frame &frame) const
{
    if (send(socket_, frame.data(), frame.size(), 0) != static_cast<ssize_t>(frame.size())) {
        throw std::runtime_error("cannot send a frame on the far end");
    }
}

std::optional<Frame> RawPort::Receive(uint16_t etherType, std::chrono::milliseconds limit) const
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd wait{socket_, POLLIN, 0};
        if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        Frame frame(65536);
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        ssize_t got = recvfrom(socket_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (got < 14 || from.sll_pkttype == PACKET_OUTGOING) {
            continue;
        }
        frame.resize(static_cast<size_t>(got));
        if (((frame[12] << 8) | frame[13]) == etherType) {
            return frame;
        }
    }
}

HeldReceiveMode HeldBy(const std::string &interface)
{
    HeldReceiveMode held;
    std::string command = "ip -d -o link show dev " + interface;
    if (FILE *shown = popen(command.c_str(), "r")) {
        char text[4096];
        size_t length = fread(text, 1, sizeof text - 1, shown);
        text[length] = '\0';
        pclose(shown);
        if (const char *promiscuity = std::strstr(text, " promiscuity ")) {
            held.promiscuity = std::atoi(promiscuity + std::strlen(" promiscuity "));
        }
        if (const char *allMulticast = std::strstr(text, " allmulti ")) {
            held.allMulticast = std::atoi(allMulticast + std::strlen(" allmulti "));
        }
    }
    // Lines of index, name, users, global use and the address in hex.
    if (FILE *list = std::fopen("/proc/self/net/dev_mcast", "re")) {
        char name[64];
        char hex[64];
        while (std::fscanf(list, "%*d %63s %*d %*d %63s", name, hex) == 2) {
            Mac address{};
            if (interface == name && std::strlen(hex) == 2 * address.size()) {
                for (size_t i = 0; i < address.size(); ++i) {
                    address[i] = static_cast<uint8_t>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
                }
                held.multicast.push_back(address);
            }
        }
        std::fclose(list);
    }
    return held;
}

std::string FreshSocketPath()
{
    return "/tmp/rezezura-test-" + std::to_string(getpid()) + "-" + std::to_string(g_serial++) + ".sock";
}

Program::Program(const std::vector<std::string> &arguments)
{
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipe[1], STDOUT_FILENO);
        dup2(pipe[1], STDERR_FILENO);
        std::vector<char *> argv;
        for (const std::string &argument : arguments) {
            argv.push_back(const_cast<char *>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe[1]);
    output_.Take(pipe[0]);
    name_ = arguments.empty() ? std::string() : arguments.front().substr(arguments.front().find_last_of('/') + 1);
}

Program::~Program()
{
    // A test that failed, or is being left by an exception, shows what the
    // program said: the cause is often there, and the run cannot be had again.
    const bool failing = ::testing::Test::HasFailure() || std::uncaught_exceptions() > 0;
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (failing) {
        while (output_.ReadLine(std::chrono::milliseconds(500))) {
        }
        for (const std::string &line : output_.Lines()) {
            std::fprintf(stderr, "  [%s] %s\n", name_.c_str(), line.c_str());
        }
    }
}

OutputLines::~OutputLines()
{
    if (descriptor_ >= 0) {
        close(descriptor_);
    }
}

void OutputLines::Take(int descriptor, int echo)
{
    descriptor_ = descriptor;
    echo_ = echo;
}

bool OutputLines::ReadLine(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            lines_.push_back(pending_.substr(0, end));
            pending_.erase(0, end + 1);
            return true;
        }
        if (ended_ || descriptor_ < 0) {
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd wait{descriptor_, POLLIN, 0};
        if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char chunk[4096];
        ssize_t got = read(descriptor_, chunk, sizeof chunk);
        if (got <= 0) {
            ended_ = true;
            return false;
        }
        if (echo_ >= 0) {
            ssize_t shown = write(echo_, chunk, static_cast<size_t>(got));
            (void)shown;
        }
        pending_.append(chunk, static_cast<size_t>(got));
    }
}

bool OutputLines::WaitForLine(const std::string &text, std::chrono::milliseconds limit, size_t from)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (size_t index = from;; ++index) {
        while (index >= lines_.size()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadLine(left)) {
                return false;
            }
        }
        if (lines_[index].find(text) != std::string::npos) {
            return true;
        }
    }
}

int Program::Wait(std::chrono::milliseconds limit)
{
    if (pid_ <= 0) {
        return -1;
    }
    while (output_.ReadLine(limit)) {
    }
    // The output ends as the program does; one still talking past the limit is killed.
    int status = 0;
    if (!output_.Ended()) {
        kill(pid_, SIGKILL);
    }
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return output_.Ended() && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Program::Stop()
{
    if (pid_ <= 0) {
        return -1;
    }
    kill(pid_, SIGTERM);
    return Wait();
}

void Program::Signal(int signal) const
{
    if (pid_ > 0 && !output_.Ended()) {
        kill(pid_, signal);
    }
}

std::vector<std::string> Service::CommandLine(const std::string &socket, const std::vector<std::string> &arguments)
{
    std::vector<std::string> all = {REZEZURA_HOST_PATH, "--socket", socket};
    all.insert(all.end(), arguments.begin(), arguments.end());
    // The image suite runs every case again on rezezura.sys itself.
    const char *image = std::getenv("REZEZURA_IMAGE");
    if (image != nullptr && std::find(arguments.begin(), arguments.end(), "--image") == arguments.end()) {
        all.insert(all.end(), {"--image", image});
    }
    return all;
}

Service::Service(const std::vector<std::string> &arguments) : Service(FreshSocketPath(), arguments)
{
}

Service::Service(const std::string &socket, const std::vector<std::string> &arguments)
    : Program(CommandLine(socket, arguments)), socket_(socket)
{
    ready_ = WaitForLine("rezezura-host: serving ");
}

Service::~Service()
{
    unlink(socket_.c_str());
}

Frame EthernetFrame(const Mac &destination, const Mac &source, uint16_t type, const std::vector<uint8_t> &payload)
{
    Frame frame(destination.begin(), destination.end());
    frame.insert(frame.end(), source.begin(), source.end());
    frame.push_back(uint8_t(type >> 8));
    frame.push_back(uint8_t(type));
    frame.insert(frame.end(), payload.begin(), payload.end());
    if (frame.size() < 60) {
        frame.resize(60, 0);
    }
    return frame;
}

Frame EapolFrame(const Mac &destination, const Mac &source, uint8_t marker)
{
    // Version 2, EAPOL-Start, no body; the marker rides in the padding.
    std::vector<uint8_t> payload = {0x02, 0x01, 0x00, 0x00, marker};
    return EthernetFrame(destination, source, 0x888E, payload);
}

}  // namespace service_test
