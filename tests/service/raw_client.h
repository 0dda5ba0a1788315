// A client of rezezura-host that speaks the socket's messages by hand, one
// datagram each, so that a test knows when each request was sent: the service carries out one
// connection's requests in order, so the answer to a later request proves
// an earlier one has reached the driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "client/socket_messages.h"
#include "tests/service/service_world.h"

namespace service_test {

// Room for a whole frame with its tag, what a read offers.
constexpr uint32_t kFrameRoom = 1518;

struct RawAnswer {
    uint64_t id = 0;
    int32_t status = 0;
    uint32_t information = 0;
    std::vector<uint8_t> bytes;
};

class RawClient {
public:
    explicit RawClient(const std::string &socketPath);
    ~RawClient();
    RawClient(const RawClient &) = delete;  // owns its socket
    RawClient &operator=(const RawClient &) = delete;
    // The status of the device's open the service greeted with.
    int32_t Greeting() const { return greeting_; }

    void Send(rezezura::socket::MessageKind kind, uint64_t id, const std::vector<uint8_t> &body);
    // Sends within the limit; false when the socket took no more in that time.
    bool SendWithin(rezezura::socket::MessageKind kind, uint64_t id, const std::vector<uint8_t> &body,
                    std::chrono::milliseconds limit);
    void Read(uint64_t id, uint32_t room);
    void Control(uint64_t id, uint32_t code, const std::vector<uint8_t> &input, uint32_t outputLength);
    // The answer to request `id`, within the limit.
    std::optional<RawAnswer> AnswerTo(uint64_t id, std::chrono::milliseconds limit = kLimit);
    // Attaches, and answers whether that succeeded.
    bool Attach(const std::string &interface);
    // Every request sent before has reached the driver once this returns true.
    bool Sync();

private:
    std::optional<RawAnswer> Next(std::chrono::milliseconds limit);

    int socket_ = -1;
    int32_t greeting_ = -1;
    uint64_t syncId_ = 1000000;
    std::deque<RawAnswer> early_;  // answers that came before they were asked for
};

std::vector<uint8_t> Le32(uint32_t value);

}  // namespace service_test
