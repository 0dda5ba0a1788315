#include "tests/service/raw_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "client/adapter_name.h"
#include "control/relay_ioctl.h"

namespace service_test {

using namespace rezezura::socket;

std::vector<uint8_t> Le32(uint32_t value)
{
    std::vector<uint8_t> bytes(4);
    PutU32(bytes.data(), value);
    return bytes;
}

RawClient::RawClient(const std::string &socketPath)
{
    socket_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot connect to " + socketPath);
    }
    auto start = std::chrono::steady_clock::now();
    std::optional<RawAnswer> greeting = Next(kLimit);
    if (!greeting || greeting->id != 0) {
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        throw std::runtime_error(
            "the service did not greet: " +
            (greeting ? "its first answer was to request " + std::to_string(greeting->id)
                      : "no answer within " + std::to_string(waited.count()) + " ms (the socket " +
                            (waited < kLimit ? "ended or held something else)" : "stayed silent)")));
    }
    greeting_ = greeting->status;
}

RawClient::~RawClient()
{
    close(socket_);
}

namespace {

std::vector<uint8_t> Message(MessageKind kind, uint64_t id, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> message(kHeaderSize);
    Header header;
    header.length = static_cast<uint32_t>(kHeaderSize + body.size());
    header.kind = kind;
    header.id = id;
    EncodeHeader(header, message.data());
    message.insert(message.end(), body.begin(), body.end());
    return message;
}

}  // namespace

void RawClient::Send(MessageKind kind, uint64_t id, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> message = Message(kind, id, body);
    if (send(socket_, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
        throw std::runtime_error("cannot send to the service");
    }
}

bool RawClient::SendWithin(MessageKind kind, uint64_t id, const std::vector<uint8_t> &body,
                           std::chrono::milliseconds limit)
{
    std::vector<uint8_t> message = Message(kind, id, body);
    ssize_t sent = send(socket_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd wait{socket_, POLLOUT, 0};
        if (poll(&wait, 1, static_cast<int>(limit.count())) != 1) {
            return false;
        }
        sent = send(socket_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (sent != static_cast<ssize_t>(message.size())) {
        throw std::runtime_error("cannot send to the service");
    }
    return true;
}

void RawClient::Read(uint64_t id, uint32_t room)
{
    Send(MessageKind::Read, id, Le32(room));
}

void RawClient::Control(uint64_t id, uint32_t code, const std::vector<uint8_t> &input, uint32_t outputLength)
{
    std::vector<uint8_t> body = Le32(code);
    std::vector<uint8_t> room = Le32(outputLength);
    body.insert(body.end(), room.begin(), room.end());
    body.insert(body.end(), input.begin(), input.end());
    Send(MessageKind::DeviceControl, id, body);
}

std::optional<RawAnswer> RawClient::Next(std::chrono::milliseconds limit)
{
    pollfd wait{socket_, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(limit.count())) <= 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> message(kMaxMessage);
    ssize_t got = recv(socket_, message.data(), message.size(), 0);
    if (got < static_cast<ssize_t>(kHeaderSize + kAnswerPrefixSize)) {
        return std::nullopt;
    }
    Header header = DecodeHeader(message.data());
    if (!ValidAnswerHeader(header) || header.version != kSocketVersion || header.length != static_cast<size_t>(got)) {
        return std::nullopt;
    }
    RawAnswer answer;
    answer.id = header.id;
    answer.status = static_cast<int32_t>(GetU32(message.data() + kHeaderSize));
    answer.information = GetU32(message.data() + kHeaderSize + 4);
    answer.bytes.assign(message.begin() + kHeaderSize + kAnswerPrefixSize, message.begin() + got);
    return answer;
}

std::optional<RawAnswer> RawClient::AnswerTo(uint64_t id, std::chrono::milliseconds limit)
{
    for (auto it = early_.begin(); it != early_.end(); ++it) {
        if (it->id == id) {
            RawAnswer answer = *it;
            early_.erase(it);
            return answer;
        }
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::optional<RawAnswer> answer = left.count() > 0 ? Next(left) : std::nullopt;
        if (!answer || answer->id == id) {
            return answer;
        }
        early_.push_back(*answer);
    }
}

bool RawClient::Attach(const std::string &interface)
{
    Control(1, IOCTL_RELAY_OPEN_ADAPTER, rezezura::AdapterNameBytes("\\Device\\" + interface), 0);
    std::optional<RawAnswer> answer = AnswerTo(1);
    return answer && answer->status == 0;
}

bool RawClient::Sync()
{
    uint64_t id = ++syncId_;
    Control(id, IOCTL_RELAY_QUERY_OID, Le32(0x00010114), 4);  // OID_GEN_MEDIA_CONNECT_STATUS
    return AnswerTo(id).has_value();
}

}  // namespace service_test
