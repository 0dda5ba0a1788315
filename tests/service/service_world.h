// The world the service's tests run in: a network namespace of the test
// process's own (it goes away with the process, however that ends), veth
// pairs in it, rezezura-host run as a child with its standard error read
// line by line, and the far end of a pair to put frames on and take them
// from. Every wait is on a descriptor with a time limit.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace service_test {

using Frame = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

constexpr std::chrono::milliseconds kLimit{5000};

// Moves the process into a namespace of its own with loopback up; call
// from main before any thread starts. False when that is not allowed.
bool EnterPrivateNetwork();

// Runs a program with arguments; its exit status, -1 when it did not run.
int RunProgram(const std::vector<std::string> &arguments);

// A veth pair with fresh names, both ends up; deleted with the object
// unless already gone.
class VethPair {
public:
    VethPair();
    ~VethPair();
    const std::string &Near() const { return near_; }  // the service's adapter
    const std::string &Far() const { return far_; }
    Mac NearAddress() const;
    static Mac AddressOf(const std::string &interface);

private:
    std::string near_;
    std::string far_;
};

// The link changes rtnetlink reports from its making on. The kernel tells
// of a carrier that came only after the interface can send again (its
// queue back in place), so a sender waits for that, not for the flag.
class LinkWatch {
public:
    LinkWatch();
    ~LinkWatch();
    LinkWatch(const LinkWatch &) = delete;  // owns a descriptor
    LinkWatch &operator=(const LinkWatch &) = delete;
    // Waits for a report of `interface` with its carrier `on`, unless one
    // came already since the watch was made.
    bool WaitForCarrier(const std::string &interface, bool on, std::chrono::milliseconds limit = kLimit);

private:
    int socket_ = -1;
    std::set<std::pair<std::string, bool>> reported_;
};

// An AF_PACKET socket on one interface: frames sent on it, frames received.
class RawPort {
public:
    explicit RawPort(const std::string &interface);
    ~RawPort();
    RawPort(const RawPort &) = delete;  // owns a descriptor
    RawPort &operator=(const RawPort &) = delete;
    void Send(const Frame &frame) const;
    // The next frame received (not sent) within the limit whose type is
    // `etherType`, or nothing.
    std::optional<Frame> Receive(uint16_t etherType, std::chrono::milliseconds limit = kLimit) const;

private:
    int socket_ = -1;
};

// What a descriptor gives (a program's output), taken line by line, every
// wait bounded; each piece read may be passed on to another descriptor too.
class OutputLines {
public:
    OutputLines() = default;
    ~OutputLines();  // closes the descriptor
    OutputLines(const OutputLines &) = delete;
    OutputLines &operator=(const OutputLines &) = delete;
    // Reads from `descriptor` (its own from now on), passing on to `echo` if any.
    void Take(int descriptor, int echo = -1);
    // The next line within the limit; false at the end or past the limit.
    bool ReadLine(std::chrono::milliseconds limit);
    // Waits for a line containing `text`, among those from the `from`th on.
    bool WaitForLine(const std::string &text, std::chrono::milliseconds limit, size_t from);
    bool Ended() const { return ended_; }
    const std::vector<std::string> &Lines() const { return lines_; }

private:
    int descriptor_ = -1;
    int echo_ = -1;
    bool ended_ = false;  // the output reached its end
    std::string pending_;
    std::vector<std::string> lines_;
};

// A child program whose standard output and error are read line by line.
class Program {
public:
    explicit Program(const std::vector<std::string> &arguments);
    ~Program();  // kills it if it still runs
    Program(const Program &) = delete;  // owns a descriptor
    Program &operator=(const Program &) = delete;
    // SIGTERM, then every line until it exits; its exit status (-1: none).
    int Stop();
    // Sends it a signal (SIGSTOP to hold it while the world changes).
    void Signal(int signal) const;
    pid_t Pid() const { return pid_; }
    // Every line until it exits by itself, within the limit; its exit status.
    int Wait(std::chrono::milliseconds limit = kLimit);
    const std::vector<std::string> &Lines() const { return output_.Lines(); }
    // Waits for a line containing `text`, among those from the `from`th on.
    bool WaitForLine(const std::string &text, std::chrono::milliseconds limit = kLimit, size_t from = 0)
    {
        return output_.WaitForLine(text, limit, from);
    }

private:
    pid_t pid_ = -1;
    std::string name_;  // the program's file name, before what it said when a test fails
    OutputLines output_;
};

// rezezura-host as a child process, with a socket of its own.
class Service : public Program {
public:
    // Starts it with these arguments after --socket PATH; Ready() tells
    // whether it said it serves.
    explicit Service(const std::vector<std::string> &arguments);
    // The same on a socket path of the caller's (a service started where
    // another was).
    Service(const std::string &socket, const std::vector<std::string> &arguments);
    ~Service();
    bool Ready() const { return ready_; }
    const std::string &SocketPath() const { return socket_; }

private:
    static std::vector<std::string> CommandLine(const std::string &socket, const std::vector<std::string> &arguments);
    std::string socket_;
    bool ready_ = false;
};

// What an interface holds for those who asked it to receive more: its
// promiscuity and all-multicast counts and the addresses on its multicast
// list, whoever put them there (packet sockets or the interface's own flags
// and list).
struct HeldReceiveMode {
    int promiscuity = -1;
    int allMulticast = -1;
    std::vector<Mac> multicast;
};
HeldReceiveMode HeldBy(const std::string &interface);

// A fresh socket path for a service.
std::string FreshSocketPath();

// An Ethernet frame: destination, source, type, payload.
Frame EthernetFrame(const Mac &destination, const Mac &source, uint16_t type, const std::vector<uint8_t> &payload);
// An EAPOL-Start padded to the minimum frame length.
Frame EapolFrame(const Mac &destination, const Mac &source, uint8_t marker);

constexpr Mac kPaeGroup = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x03};
constexpr Mac kPeer = {0x02, 0x00, 0x5E, 0x77, 0x00, 0x01};

}  // namespace service_test
