// The client library over rezezura-host's socket: each call one request
// message in one datagram, its answer matched by id. No thread of the
// library's own: a caller waiting for an answer reads the socket itself
// while no other caller does, taking a lone call's answer straight into its
// own buffer, and hands the answers of the others to them.
#include <sched.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "client/adapter_name.h"
#include "client/rezezura_client.h"
#include "client/socket_messages.h"

using namespace rezezura::socket;

namespace {

using Clock = std::chrono::steady_clock;

// One request awaiting its answer.
struct Slot {
    uint64_t id = 0;
    uint8_t *buffer = nullptr;
    uint32_t room = 0;
    // The largest count its answer may give: the room, or a write's frame length.
    uint32_t most = 0;
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

// The fixed fields a request carries after its header.
struct Fixed {
    uint8_t bytes[8];
    size_t length = 0;
};

Fixed Le32(uint32_t value)
{
    Fixed fixed;
    PutU32(fixed.bytes, value);
    fixed.length = 4;
    return fixed;
}

Fixed Le32Pair(uint32_t first, uint32_t second)
{
    Fixed fixed;
    PutU32(fixed.bytes, first);
    PutU32(fixed.bytes + 4, second);
    fixed.length = 8;
    return fixed;
}

enum class Received { Answer, Nothing, TimedOut, Broken };

constexpr long kDefaultBusyPollUs = 50;
constexpr long kMaxBusyPollUs = 1000;

// REZEZURA_BUSY_POLL, when it holds microseconds within bounds; else the default.
std::chrono::microseconds BusyPollFromEnvironment()
{
    const char *text = std::getenv(REZEZURA_BUSY_POLL_VARIABLE);
    if (text == nullptr || *text == '\0') {
        return std::chrono::microseconds(kDefaultBusyPollUs);
    }
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    bool valid = *end == '\0' && value >= 0 && value <= kMaxBusyPollUs;
    return std::chrono::microseconds(valid ? value : kDefaultBusyPollUs);
}

}  // namespace

struct rezezura_client {
    int socket = -1;
    // Held from a request's numbering to its send, and by a cancel from
    // choosing its requests to sending for them, so that a cancel never
    // reaches the service ahead of a request it names.
    std::mutex sending;
    std::mutex lock;  // guards what follows
    std::condition_variable changed;
    std::map<uint64_t, Slot *> slots;
    uint64_t nextId = 1;
    bool receiving = false;  // a caller is reading the socket for everyone
    bool broken = false;     // the service closed the connection
    int receiveTimeoutMs = -1;  // the socket's SO_RCVTIMEO; -1: none; set by the receiving caller
    std::chrono::microseconds busyPoll{kDefaultBusyPollUs};

    bool SendMessage(MessageKind kind, uint64_t id, const Fixed &fixed, const void *payload, uint32_t payloadLength);
    void SendCancel(uint64_t id);
    // Sends a request whose answer the slot takes; Finish waits for it.
    rezezura_result Start(MessageKind kind, const Fixed &fixed, const void *payload, uint32_t payloadLength,
                          Slot *slot);
    rezezura_result Finish(Slot *slot, uint32_t timeoutMs);
    rezezura_result Call(MessageKind kind, const Fixed &fixed, const void *payload, uint32_t payloadLength,
                         void *buffer, uint32_t room, uint32_t timeoutMs);
    // Waits, reading the socket whenever no other caller does, until `done` holds.
    // Past `deadline` (if any) it returns false with the lock held.
    template <typename Done>
    bool ReceiveUntil(std::unique_lock<std::mutex> &guard, Slot *own, const Clock::time_point *deadline, Done done);
    // Reads one answer, into `own`'s buffer when only `own` awaits one.
    // Called by the one receiving caller, without the lock.
    Received ReceiveOne(Slot *own, bool lone, int waitMs);
    // Every call ends; with the lock held.
    void Break(int32_t status, int error);
};

void rezezura_client::Break(int32_t status, int error)
{
    broken = true;
    for (auto &[id, slot] : slots) {
        if (!slot->done) {
            slot->done = true;
            slot->result = Failure(status, error);
        }
    }
    changed.notify_all();
}

Received rezezura_client::ReceiveOne(Slot *own, bool lone, int waitMs)
{
    // The socket's own receive time-out bounds the wait, so that a call
    // takes one recvmsg; it changes only when a call's limit differs from
    // the last one's, and a call without a limit just waits again.
    if (waitMs >= 0 && waitMs != receiveTimeoutMs) {
        timeval limit{waitMs / 1000, (waitMs % 1000) * 1000};
        if (waitMs == 0) {
            limit.tv_usec = 1;  // zero would mean no limit
        }
        if (setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
            int error = errno;
            std::lock_guard<std::mutex> guard(lock);
            Break(REZEZURA_STATUS_PIPE_DISCONNECTED, error);
            return Received::Broken;
        }
        receiveTimeoutMs = waitMs;
    }
    static thread_local std::vector<uint8_t> scratch(kMaxPayload);
    uint8_t head[kHeaderSize + kAnswerPrefixSize];
    const bool direct = lone && own != nullptr && own->room != 0;
    iovec pieces[3] = {{head, sizeof head}, {direct ? own->buffer : nullptr, direct ? own->room : 0},
                       {scratch.data(), scratch.size()}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = 3;
    ssize_t got = recvmsg(socket, &message, MSG_DONTWAIT);
    if (got < 0 && errno == EAGAIN && waitMs != 0) {
        // A moment's look before the sleep: the service answers most calls
        // within it, and waking a sleeping thread costs more than its work.
        const Clock::time_point until = Clock::now() + busyPoll;
        while (got < 0 && errno == EAGAIN && Clock::now() < until) {
            sched_yield();  // the service, or a party it woke, may need this processor
            got = recvmsg(socket, &message, MSG_DONTWAIT);
        }
        if (got < 0 && errno == EAGAIN) {
            got = recvmsg(socket, &message, 0);
        }
    }
    if (got < 0 && errno == EINTR) {
        return Received::Nothing;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return waitMs >= 0 ? Received::TimedOut : Received::Nothing;
    }
    std::lock_guard<std::mutex> guard(lock);
    if (got < static_cast<ssize_t>(sizeof head) || (message.msg_flags & MSG_TRUNC) != 0) {
        Break(REZEZURA_STATUS_PIPE_DISCONNECTED, got < 0 ? errno : ECONNRESET);
        return Received::Broken;
    }
    Header header = DecodeHeader(head);
    if (header.version != kSocketVersion) {
        Break(REZEZURA_STATUS_REVISION_MISMATCH, EPROTO);
        return Received::Broken;
    }
    if (!ValidAnswerHeader(header) || header.length != static_cast<size_t>(got)) {
        Break(REZEZURA_STATUS_PIPE_DISCONNECTED, EPROTO);
        return Received::Broken;
    }
    auto found = slots.find(header.id);
    if (found == slots.end() || found->second->done) {
        return Received::Answer;  // a request whose caller already let it go
    }
    Slot *slot = found->second;
    size_t count = header.length - sizeof head;
    uint32_t information = GetU32(head + kHeaderSize + 4);
    // Counts are the service's word: one past the room the request gave is
    // a malformed answer, never a length handed to the caller.
    if (count > slot->room || information > slot->most) {
        Break(REZEZURA_STATUS_PIPE_DISCONNECTED, EPROTO);
        return Received::Broken;
    }
    if (!(direct && slot == own) && count != 0) {
        // The bytes lie in the first piece that took them, and on in the scratch.
        size_t inFirst = std::min<size_t>(count, pieces[1].iov_len);
        if (inFirst != 0 && pieces[1].iov_base != slot->buffer) {
            std::memmove(slot->buffer, pieces[1].iov_base, inFirst);
        }
        std::memcpy(slot->buffer + inFirst, scratch.data(), count - inFirst);
    }
    slot->result.status = static_cast<int32_t>(GetU32(head + kHeaderSize));
    slot->result.information = information;
    slot->done = true;
    changed.notify_all();
    return Received::Answer;
}

template <typename Done>
bool rezezura_client::ReceiveUntil(std::unique_lock<std::mutex> &guard, Slot *own, const Clock::time_point *deadline,
                                   Done done)
{
    while (!done()) {
        int waitMs = -1;
        if (deadline != nullptr) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) {
                return false;
            }
            waitMs = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
        if (broken) {
            return true;  // every slot is done already
        }
        if (receiving) {
            if (deadline == nullptr) {
                changed.wait(guard);
            } else {
                changed.wait_until(guard, *deadline);
            }
            continue;
        }
        receiving = true;
        bool lone = slots.size() == 1;
        guard.unlock();
        Received outcome = ReceiveOne(own, lone, waitMs);
        guard.lock();
        receiving = false;
        changed.notify_all();  // another waiter may read next
        if (outcome == Received::TimedOut) {
            return done();
        }
    }
    return true;
}

bool rezezura_client::SendMessage(MessageKind kind, uint64_t id, const Fixed &fixed, const void *payload,
                                  uint32_t payloadLength)
{
    uint8_t head[kHeaderSize + sizeof fixed.bytes];
    Header header;
    header.length = static_cast<uint32_t>(kHeaderSize + fixed.length + payloadLength);
    header.kind = kind;
    header.id = id;
    EncodeHeader(header, head);
    std::memcpy(head + kHeaderSize, fixed.bytes, fixed.length);
    iovec pieces[2] = {{head, kHeaderSize + fixed.length}, {const_cast<void *>(payload), payloadLength}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = payloadLength == 0 ? 1 : 2;
    ssize_t sent;
    do {
        sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(header.length);
}

void rezezura_client::SendCancel(uint64_t id)
{
    Fixed target;
    PutU64(target.bytes, id);
    target.length = 8;
    SendMessage(MessageKind::Cancel, id, target, nullptr, 0);
}

rezezura_result rezezura_client::Start(MessageKind kind, const Fixed &fixed, const void *payload,
                                       uint32_t payloadLength, Slot *slot)
{
    if (payloadLength > kMaxPayload - fixed.length || slot->room > kMaxRoom) {
        return Failure(static_cast<int32_t>(0xC000000D), EMSGSIZE);  // STATUS_INVALID_PARAMETER
    }
    std::lock_guard<std::mutex> ordered(sending);
    {
        std::lock_guard<std::mutex> guard(lock);
        if (broken) {
            return Failure(REZEZURA_STATUS_PIPE_DISCONNECTED, ECONNRESET);
        }
        slot->id = nextId++;
        slot->most = kind == MessageKind::Write ? payloadLength : slot->room;
        slots[slot->id] = slot;
    }
    if (!SendMessage(kind, slot->id, fixed, payload, payloadLength)) {
        shutdown(socket, SHUT_RDWR);  // the next read ends every call
    }
    return rezezura_result{};
}

rezezura_result rezezura_client::Finish(Slot *slot, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    auto done = [slot] { return slot->done; };
    bool timedOut = false;
    if (timeoutMs != REZEZURA_NO_TIME_LIMIT) {
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!ReceiveUntil(guard, slot, &deadline, done)) {
            // Past the limit the request is cancelled and its end awaited, so
            // that no answer outlives the caller's buffer.
            guard.unlock();
            SendCancel(slot->id);
            timedOut = true;
            guard.lock();
        }
    }
    ReceiveUntil(guard, slot, nullptr, done);
    slots.erase(slot->id);
    changed.notify_all();
    slot->result.timed_out = timedOut && slot->result.status == REZEZURA_STATUS_CANCELLED;
    return slot->result;
}

rezezura_result rezezura_client::Call(MessageKind kind, const Fixed &fixed, const void *payload,
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
    int socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
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
    opened->busyPoll = BusyPollFromEnvironment();
    // The service greets with the status of the device's open (id 0).
    Slot greeting;
    opened->slots[0] = &greeting;
    rezezura_result result = opened->Finish(&greeting, REZEZURA_NO_TIME_LIMIT);
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
    return client->Call(MessageKind::DeviceControl, Le32Pair(IOCTL_RELAY_OPEN_ADAPTER, 0), input.data(), static_cast<uint32_t>(input.size()),
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
    return client->Call(MessageKind::Write, Fixed{}, frame, length, nullptr, 0, REZEZURA_NO_TIME_LIMIT);
}

namespace {

rezezura_result Control(rezezura_client *client, uint32_t code, const std::vector<uint8_t> &input, void *output,
                        uint32_t outputLength, uint32_t timeoutMs)
{
    return client->Call(MessageKind::DeviceControl, Le32Pair(code, outputLength), input.data(), static_cast<uint32_t>(input.size()),
                        output, outputLength, timeoutMs);
}

}  // namespace

rezezura_result rezezura_query_oid(rezezura_client *client, uint32_t oid, void *value, uint32_t length)
{
    uint8_t input[4];
    PutU32(input, oid);
    return Control(client, IOCTL_RELAY_QUERY_OID, std::vector<uint8_t>(input, input + 4), value, length,
                   REZEZURA_NO_TIME_LIMIT);
}

rezezura_result rezezura_set_oid(rezezura_client *client, uint32_t oid, const void *value, uint32_t length)
{
    std::vector<uint8_t> input(4);
    PutU32(input.data(), oid);
    const auto *bytes = static_cast<const uint8_t *>(value);
    input.insert(input.end(), bytes, bytes + length);
    // Room for the whole value lets the adapter's count of bytes taken through uncut.
    std::vector<uint8_t> output(length);
    return Control(client, IOCTL_RELAY_SET_OID, input, output.data(), length, REZEZURA_NO_TIME_LIMIT);
}

rezezura_result rezezura_wait_status(rezezura_client *client, uint32_t status, void *buffer, uint32_t length,
                                     uint32_t timeout_ms)
{
    std::vector<uint8_t> input(4);
    PutU32(input.data(), status);
    return Control(client, IOCTL_RELAY_WAIT_STATUS, input, buffer, length, timeout_ms);
}

void rezezura_cancel(rezezura_client *client)
{
    std::lock_guard<std::mutex> ordered(client->sending);
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
        client->SendCancel(id);
    }
}

void rezezura_close(rezezura_client *client)
{
    if (client == nullptr) {
        return;
    }
    // The service closes the handle; its cleanup ends what is in flight,
    // and the answers arrive before the service closes its end. A read
    // started and never finished ends here too.
    shutdown(client->socket, SHUT_WR);
    {
        std::unique_lock<std::mutex> guard(client->lock);
        client->ReceiveUntil(guard, nullptr, nullptr, [client] {
            for (const auto &[id, slot] : client->slots) {
                if (!slot->done) {
                    return false;
                }
            }
            return true;
        });
    }
    close(client->socket);
    delete client;
}

}  // extern "C"
