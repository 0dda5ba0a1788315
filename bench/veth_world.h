// Where the host service's benchmarks run: a network namespace the calling
// thread enters for the benchmark's length, holding one veth pair. The
// namespace has no name, so the kernel takes it and the pair with it once
// nothing uses it: when the world ends, and when the process ends however it
// ends (SIGINT, SIGTERM, SIGKILL; the service it started dies with it).
// Every wait is on a descriptor with a time limit.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bench {

using Mac = std::array<uint8_t, 6>;

class VethWorld {
public:
    // Enters the namespace and makes the pair; Error() says what failed.
    VethWorld();
    ~VethWorld();  // back to the thread's own namespace; the pair goes with this one
    VethWorld(const VethWorld &) = delete;
    VethWorld &operator=(const VethWorld &) = delete;

    const std::string &Error() const { return error_; }
    static constexpr const char *kNear = "rzbench0";  // the service's adapter
    static constexpr const char *kFar = "rzbench1";
    static Mac AddressOf(const char *interface);

private:
    int home_ = -1;  // the thread's own namespace
    bool entered_ = false;
    std::string error_;
};

// An AF_PACKET socket on one interface.
class RawPort {
public:
    explicit RawPort(const char *interface);
    ~RawPort();
    RawPort(const RawPort &) = delete;
    RawPort &operator=(const RawPort &) = delete;
    bool Opened() const { return socket_ >= 0; }
    bool Send(const std::vector<uint8_t> &frame) const;
    // The next EAPOL frame received (not sent) within the limit, into `frame`.
    bool Receive(std::vector<uint8_t> &frame, std::chrono::milliseconds limit) const;

private:
    int socket_ = -1;
};

// rezezura-host serving the near end of the pair on a socket of its own,
// which REZEZURA_SOCKET names for the client library while it runs.
class ServiceProcess {
public:
    ServiceProcess();
    ~ServiceProcess();  // SIGTERM, then SIGKILL past the limit
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;
    const std::string &Error() const { return error_; }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string socket_;
    std::string error_;
};

// A 60-byte EAPOL frame whose payload carries `tag` and `sequence`.
std::vector<uint8_t> TaggedFrame(const Mac &destination, const Mac &source, uint32_t tag, uint32_t sequence);
// The tag and sequence of such a frame; nothing for any other.
std::optional<std::pair<uint32_t, uint32_t>> TagOf(const uint8_t *frame, size_t length);

}  // namespace bench
