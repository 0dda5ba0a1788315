#include "tests/service/raw_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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
    socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot connect to " + socketPath);
    }
    std::optional<RawAnswer> greeting = Next(kLimit);
    if (!greeting || greeting->id != 0) {
        throw std::runtime_error("the service did not greet");
    }
    greeting_ = greeting->status;
}

RawClient::~RawClient()
{
    close(socket_);
}

void RawClient::Send(MessageKind kind, uint64_t id, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> message(kHeaderSize);
    Header header;
    header.length = static_cast<uint32_t>(kHeaderSize + body.size());
    header.kind = kind;
    header.id = id;
    EncodeHeader(header, message.data());
    message.insert(message.end(), body.begin(), body.end());
    if (send(socket_, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
        throw std::runtime_error("cannot send to the service");
    }
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

bool RawClient::ReceiveAll(uint8_t *into, size_t count, std::chrono::steady_clock::time_point deadline)
{
    while (count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd wait{socket_, POLLIN, 0};
        if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        ssize_t got = recv(socket_, into, count, 0);
        if (got <= 0) {
            return false;
        }
        into += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

std::optional<RawAnswer> RawClient::Next(std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    uint8_t head[kHeaderSize + kAnswerPrefixSize];
    if (!ReceiveAll(head, sizeof head, deadline)) {
        return std::nullopt;
    }
    Header header = DecodeHeader(head);
    if (!ValidAnswerHeader(header)) {
        return std::nullopt;
    }
    RawAnswer answer;
    answer.id = header.id;
    answer.status = static_cast<int32_t>(GetU32(head + kHeaderSize));
    answer.information = GetU32(head + kHeaderSize + 4);
    answer.bytes.resize(header.length - sizeof head);
    if (!ReceiveAll(answer.bytes.data(), answer.bytes.size(), deadline)) {
        return std::nullopt;
    }
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
