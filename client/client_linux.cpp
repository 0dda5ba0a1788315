// The client library over rezezura-host's socket: each call one request
// message, its answer matched by id by a receiving thread that writes the
// answer's bytes straight into the caller's buffer.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "client/adapter_name.h"
#include "client/rezezura_client.h"
#include "client/socket_messages.h"
#include "client/socket_receive.h"

using namespace rezezura::socket;

namespace {

// One request awaiting its answer.
struct Slot {
    uint64_t id = 0;
    uint8_t *buffer = nullptr;
    uint32_t room = 0;
    bool done = false;
    rezezura_result result{};
};

rezezura_result Failure(int32_t status, int error)
{
    rezezura_result result{};
    result.status = status;
    result.system_error = error;
    return result;
}

bool SendAll(int socket, const uint8_t *bytes, size_t count)
{
    while (count > 0) {
        ssize_t sent = send(socket, bytes, count, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        count -= static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace

struct rezezura_client {
    int socket = -1;
    std::thread receiver;
    std::mutex sending;  // one message at a time on the socket
    std::mutex lock;     // guards what follows
    std::condition_variable answered;
    std::map<uint64_t, Slot *> slots;
    uint64_t nextId = 1;
    bool broken = false;  // the service closed the connection

    void Receive();
    void Break();
    // Sends a request whose answer the slot takes; Finish waits for it.
    rezezura_result Start(MessageKind kind, const std::vector<uint8_t> &fixed, const void *payload,
                          uint32_t payloadLength, Slot *slot);
    rezezura_result Finish(Slot *slot, uint32_t timeoutMs);
    rezezura_result Call(MessageKind kind, const std::vector<uint8_t> &fixed, const void *payload,
                         uint32_t payloadLength, void *buffer, uint32_t room, uint32_t timeoutMs);
    bool SendMessage(MessageKind kind, uint64_t id, const std::vector<uint8_t> &fixed, const void *payload,
                     uint32_t payloadLength);
};

void rezezura_client::Break()
{
    std::lock_guard<std::mutex> guard(lock);
    broken = true;
    for (auto &[id, slot] : slots) {
        if (!slot->done) {
            slot->done = true;
            slot->result = Failure(REZEZURA_STATUS_PIPE_DISCONNECTED, ECONNRESET);
        }
    }
    answered.notify_all();
}

void rezezura_client::Receive()
{
    std::vector<uint8_t> discard(kMaxPayload);
    for (;;) {
        uint8_t head[kHeaderSize + kAnswerPrefixSize];
        if (!ReceiveExactly(socket, head, sizeof head)) {
            break;
        }
        Header header = DecodeHeader(head);
        if (!ValidAnswerHeader(header)) {
            break;
        }
        size_t count = header.length - sizeof head;
        Slot *slot = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock);
            auto found = slots.find(header.id);
            if (found != slots.end() && !found->second->done) {
                slot = found->second;
            }
        }
        // The slot stays until its caller saw it done, which only this thread makes it.
        size_t kept = slot == nullptr ? 0 : std::min<size_t>(count, slot->room);
        if ((kept != 0 && !ReceiveExactly(socket, slot->buffer, kept)) ||
            (count > kept && !ReceiveExactly(socket, discard.data(), count - kept))) {
            break;
        }
        if (slot != nullptr) {
            std::lock_guard<std::mutex> guard(lock);
            slot->result.status = static_cast<int32_t>(GetU32(head + kHeaderSize));
            slot->result.information = GetU32(head + kHeaderSize + 4);
            slot->done = true;
            answered.notify_all();
        }
    }
    Break();
}

bool rezezura_client::SendMessage(MessageKind kind, uint64_t id, const std::vector<uint8_t> &fixed,
                                  const void *payload, uint32_t payloadLength)
{
    std::vector<uint8_t> head(kHeaderSize);
    Header header;
    header.length = static_cast<uint32_t>(kHeaderSize + fixed.size() + payloadLength);
    header.kind = kind;
    header.id = id;
    EncodeHeader(header, head.data());
    head.insert(head.end(), fixed.begin(), fixed.end());
    std::lock_guard<std::mutex> guard(sending);
    return SendAll(socket, head.data(), head.size()) &&
           SendAll(socket, static_cast<const uint8_t *>(payload), payloadLength);
}

rezezura_result rezezura_client::Start(MessageKind kind, const std::vector<uint8_t> &fixed, const void *payload,
                                       uint32_t payloadLength, Slot *slot)
{
    if (payloadLength > kMaxPayload - fixed.size() || slot->room > kMaxRoom) {
        return Failure(static_cast<int32_t>(0xC000000D), EMSGSIZE);  // STATUS_INVALID_PARAMETER
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        if (broken) {
            return Failure(REZEZURA_STATUS_PIPE_DISCONNECTED, ECONNRESET);
        }
        slot->id = nextId++;
        slots[slot->id] = slot;
    }
    if (!SendMessage(kind, slot->id, fixed, payload, payloadLength)) {
        shutdown(socket, SHUT_RDWR);  // the receiver ends every call
    }
    return rezezura_result{};
}

rezezura_result rezezura_client::Finish(Slot *slot, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    bool timedOut = false;
    if (timeoutMs != REZEZURA_NO_TIME_LIMIT &&
        !answered.wait_for(guard, std::chrono::milliseconds(timeoutMs), [slot] { return slot->done; })) {
        // Past the limit the request is cancelled and its end awaited, so
        // that no answer outlives the caller's buffer.
        guard.unlock();
        std::vector<uint8_t> target(8);
        PutU64(target.data(), slot->id);
        SendMessage(MessageKind::Cancel, slot->id, target, nullptr, 0);
        timedOut = true;
        guard.lock();
    }
    answered.wait(guard, [slot] { return slot->done; });
    slots.erase(slot->id);
    answered.notify_all();
    slot->result.timed_out = timedOut && slot->result.status == REZEZURA_STATUS_CANCELLED;
    return slot->result;
}

rezezura_result rezezura_client::Call(MessageKind kind, const std::vector<uint8_t> &fixed, const void *payload,
                                      uint32_t payloadLength, void *buffer, uint32_t room, uint32_t timeoutMs)
{
    Slot slot;
    slot.buffer = static_cast<uint8_t *>(buffer);
    slot.room = room;
    rezezura_result started = Start(kind, fixed, payload, payloadLength, &slot);
    if (!rezezura_succeeded(started)) {
        return started;
    }
    return Finish(&slot, timeoutMs);
}

namespace {

std::vector<uint8_t> Le32(uint32_t value)
{
    std::vector<uint8_t> bytes(4);
    PutU32(bytes.data(), value);
    return bytes;
}

}  // namespace

extern "C" {

rezezura_result rezezura_open(rezezura_client **client)
{
    const char *named = std::getenv(REZEZURA_SOCKET_VARIABLE);
    std::string path = named != nullptr && *named != '\0' ? named : REZEZURA_DEFAULT_SOCKET;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return Failure(REZEZURA_STATUS_OBJECT_NAME_NOT_FOUND, ENAMETOOLONG);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        return Failure(REZEZURA_STATUS_OBJECT_NAME_NOT_FOUND, errno);
    }
    if (connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        int error = errno;
        close(socket);
        return Failure(REZEZURA_STATUS_OBJECT_NAME_NOT_FOUND, error);
    }
    auto *opened = new rezezura_client;
    opened->socket = socket;
    // The service greets with the status of the device's open (id 0).
    Slot greeting;
    opened->slots[0] = &greeting;
    opened->receiver = std::thread([opened] { opened->Receive(); });
    rezezura_result result;
    {
        std::unique_lock<std::mutex> guard(opened->lock);
        opened->answered.wait(guard, [&greeting] { return greeting.done; });
        opened->slots.erase(0);
        result = greeting.result;
    }
    if (!rezezura_succeeded(result)) {
        rezezura_close(opened);
        return result;
    }
    *client = opened;
    return result;
}

rezezura_result rezezura_attach(rezezura_client *client, const char *adapter)
{
    std::string name = adapter;
    if (name.rfind("\\", 0) != 0) {
        name = "\\Device\\" + name;
    }
    std::vector<uint8_t> input = rezezura::AdapterNameBytes(name);
    if (input.empty()) {
        return Failure(REZEZURA_STATUS_NO_SUCH_DEVICE, EINVAL);
    }
    std::vector<uint8_t> fixed = Le32(IOCTL_RELAY_OPEN_ADAPTER);
    std::vector<uint8_t> room = Le32(0);
    fixed.insert(fixed.end(), room.begin(), room.end());
    return client->Call(MessageKind::DeviceControl, fixed, input.data(), static_cast<uint32_t>(input.size()),
                        nullptr, 0, REZEZURA_NO_TIME_LIMIT);
}

rezezura_result rezezura_read(rezezura_client *client, void *frame, uint32_t length, uint32_t timeout_ms)
{
    return client->Call(MessageKind::Read, Le32(length), nullptr, 0, frame, length, timeout_ms);
}

struct rezezura_request {
    rezezura_client *client;
    Slot slot;
};

rezezura_result rezezura_start_read(rezezura_client *client, void *frame, uint32_t length,
                                    rezezura_request **request)
{
    auto *started = new rezezura_request{client, {}};
    started->slot.buffer = static_cast<uint8_t *>(frame);
    started->slot.room = length;
    rezezura_result result = client->Start(MessageKind::Read, Le32(length), nullptr, 0, &started->slot);
    if (!rezezura_succeeded(result)) {
        delete started;
        return result;
    }
    *request = started;
    return result;
}

rezezura_result rezezura_finish(rezezura_request *request, uint32_t timeout_ms)
{
    rezezura_result result = request->client->Finish(&request->slot, timeout_ms);
    delete request;
    return result;
}

rezezura_result rezezura_write(rezezura_client *client, const void *frame, uint32_t length)
{
    return client->Call(MessageKind::Write, {}, frame, length, nullptr, 0, REZEZURA_NO_TIME_LIMIT);
}

namespace {

rezezura_result Control(rezezura_client *client, uint32_t code, const std::vector<uint8_t> &input, void *output,
                        uint32_t outputLength, uint32_t timeoutMs)
{
    std::vector<uint8_t> fixed = Le32(code);
    std::vector<uint8_t> room = Le32(outputLength);
    fixed.insert(fixed.end(), room.begin(), room.end());
    return client->Call(MessageKind::DeviceControl, fixed, input.data(), static_cast<uint32_t>(input.size()),
                        output, outputLength, timeoutMs);
}

}  // namespace

rezezura_result rezezura_query_oid(rezezura_client *client, uint32_t oid, void *value, uint32_t length)
{
    return Control(client, IOCTL_RELAY_QUERY_OID, Le32(oid), value, length, REZEZURA_NO_TIME_LIMIT);
}

rezezura_result rezezura_set_oid(rezezura_client *client, uint32_t oid, const void *value, uint32_t length)
{
    std::vector<uint8_t> input = Le32(oid);
    const auto *bytes = static_cast<const uint8_t *>(value);
    input.insert(input.end(), bytes, bytes + length);
    // Room for the whole value lets the adapter's count of bytes taken through uncut.
    std::vector<uint8_t> output(length);
    return Control(client, IOCTL_RELAY_SET_OID, input, output.data(), length, REZEZURA_NO_TIME_LIMIT);
}

rezezura_result rezezura_wait_status(rezezura_client *client, uint32_t status, void *buffer, uint32_t length,
                                     uint32_t timeout_ms)
{
    return Control(client, IOCTL_RELAY_WAIT_STATUS, Le32(status), buffer, length, timeout_ms);
}

void rezezura_cancel(rezezura_client *client)
{
    std::vector<uint64_t> ids;
    {
        std::lock_guard<std::mutex> guard(client->lock);
        for (const auto &[id, slot] : client->slots) {
            if (!slot->done && id != 0) {
                ids.push_back(id);
            }
        }
    }
    for (uint64_t id : ids) {
        std::vector<uint8_t> target(8);
        PutU64(target.data(), id);
        client->SendMessage(MessageKind::Cancel, id, target, nullptr, 0);
    }
}

void rezezura_close(rezezura_client *client)
{
    if (client == nullptr) {
        return;
    }
    // The service closes the handle; its cleanup ends what is in flight,
    // and the answers arrive before the service closes its end.
    shutdown(client->socket, SHUT_WR);
    {
        std::unique_lock<std::mutex> guard(client->lock);
        client->answered.wait(guard, [client] { return client->slots.empty(); });
    }
    shutdown(client->socket, SHUT_RDWR);
    client->receiver.join();
    close(client->socket);
    delete client;
}

}  // extern "C"
