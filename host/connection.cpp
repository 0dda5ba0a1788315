#include "host/connection.h"

#include <sys/epoll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "control/relay_ioctl.h"
#include "sim/direct_io.h"
#include "sim/tokens.h"

namespace host {

using namespace rezezura::socket;

std::shared_ptr<Connection> Connection::Open(int socket, const ucred &peer, ConnectionWatcher *watcher)
{
    std::shared_ptr<Connection> connection(new Connection(socket, peer, watcher));
    // The administrators' token for root, an ordinary user's for anyone
    // else: the device's own security decides.
    sim::Account account = peer.uid == 0 ? sim::Account::Administrator : sim::Account::OrdinaryUser;
    IO_STATUS_BLOCK greeting{};
    greeting.Status = sim::ClientHandle::Open(u"\\\\.\\" u"rezezura", account, GENERIC_READ | GENERIC_WRITE,
                                              &connection->handle_);
    {
        std::lock_guard<std::mutex> guard(connection->lock_);
        connection->handleOpen_ = NT_SUCCESS(greeting.Status);
    }
    connection->Answer(0, greeting, nullptr, 0);
    return connection;
}

Connection::Connection(int socket, const ucred &peer, ConnectionWatcher *watcher)
    : socket_(socket), peer_(peer), watcher_(watcher)
{
}

Connection::~Connection()
{
    close(socket_);
}

std::string Connection::Peer() const
{
    return "pid " + std::to_string(peer_.pid) + " (uid " + std::to_string(peer_.uid) + ")";
}

void Connection::Refuse(const std::string &why)
{
    std::fprintf(stderr, "rezezura-host: closed the connection of %s: %s\n", Peer().c_str(), why.c_str());
    {
        std::lock_guard<std::mutex> guard(lock_);
        peerGone_ = true;
        backlog_.clear();
        UpdateInterest();
    }
    // What was sent already stays for the client to read before the end.
    shutdown(socket_, SHUT_RDWR);
    Shut();
}

void Connection::Readable()
{
    // One message a wake-up: the loop comes back while the socket holds
    // more, the other sockets taking their turns between, and no call is
    // spent finding the socket empty.
    static thread_local std::vector<uint8_t> buffer(kMaxMessage);
    bool gone;
    {
        std::lock_guard<std::mutex> guard(lock_);
        gone = peerGone_;
        if (!handleOpen_ || (!gone && !backlog_.empty())) {
            return;
        }
    }
    if (gone) {
        // Answers no longer reach the client: what it sent and the
        // service did not take yet is left, and its handle closed.
        Shut();
        return;
    }
    iovec piece{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    ssize_t received;
    do {
        received = recvmsg(socket_, &message, MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
    }
    if (received <= 0) {
        Shut();  // the client closed its end, or the socket failed
        return;
    }
    if ((message.msg_flags & MSG_TRUNC) != 0) {
        Refuse("a message longer than " + std::to_string(kMaxMessage) + " bytes");
        return;
    }
    Take(buffer.data(), static_cast<size_t>(received));
}

void Connection::Writable()
{
    std::lock_guard<std::mutex> guard(lock_);
    Drain();
    UpdateInterest();
}

bool Connection::Take(const uint8_t *message, size_t size)
{
    if (size < kHeaderSize) {
        Refuse("a message of " + std::to_string(size) + " bytes, shorter than its header");
        return false;
    }
    Header header = DecodeHeader(message);
    if (header.version != kSocketVersion) {
        IO_STATUS_BLOCK refusal{};
        refusal.Status = kStatusRevisionMismatch;
        Answer(header.id, refusal, nullptr, 0);
        Refuse("its messages are of version " + std::to_string(header.version) + ", the service's of version " +
               std::to_string(kSocketVersion));
        return false;
    }
    if (!ValidRequestHeader(header, size)) {
        Refuse("malformed message header (kind " + std::to_string(static_cast<unsigned>(header.kind)) +
               ", length " + std::to_string(header.length) + " in a message of " + std::to_string(size) +
               " bytes)");
        return false;
    }
    return Carry(header, message + kHeaderSize, size - kHeaderSize);
}

bool Connection::Carry(const Header &header, const uint8_t *body, size_t size)
{
    if (header.kind == MessageKind::Cancel) {
        Cancel(GetU64(body));
        return true;
    }
    uint32_t room = 0;
    if (header.kind == MessageKind::Read) {
        room = GetU32(body);
    } else if (header.kind == MessageKind::DeviceControl) {
        room = GetU32(body + 4);
    }
    if (room > kMaxRoom) {
        Refuse("a request asked for " + std::to_string(room) + " bytes of room, more than " +
               std::to_string(kMaxRoom));
        return false;
    }
    const uint64_t id = header.id;
    bool duplicate = false;
    bool full = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        duplicate = id == 0 || inFlight_.count(id) != 0;
        full = inFlight_.size() >= kMaxInFlight;
        if (!duplicate && !full) {
            inFlight_.emplace(id, std::nullopt);
        }
    }
    if (duplicate) {
        Refuse("request id " + std::to_string(id) + " is 0 or already in flight");
        return false;
    }
    if (full) {
        IO_STATUS_BLOCK refusal{};
        refusal.Status = kStatusInsufficientResources;
        Answer(id, refusal, nullptr, 0);
        return true;
    }
    // The completion answers at once, on whichever thread completes the request.
    std::shared_ptr<Connection> self = shared_from_this();
    std::optional<sim::Request> issued;
    switch (header.kind) {
    case MessageKind::Read:
        issued = handle_.Read(room, [self, id](const sim::Request &request, const IO_STATUS_BLOCK &status) {
            std::shared_ptr<const sim::CallerPieces> buffer = sim::CallerBuffer(request);
            const uint8_t *bytes = nullptr;
            size_t count = 0;
            if (buffer && !buffer->empty()) {
                bytes = buffer->front().data();
                count = std::min<size_t>(status.Information, buffer->front().size());
            }
            self->Answer(id, status, bytes, count);
            request.Release();
        });
        break;
    case MessageKind::Write:
        issued = handle_.Write(std::vector<uint8_t>(body, body + size),
                               [self, id](const sim::Request &request, const IO_STATUS_BLOCK &status) {
                                   self->Answer(id, status, nullptr, 0);
                                   request.Release();
                               });
        break;
    default: {
        uint32_t code = GetU32(body);
        issued = handle_.Control(code, std::vector<uint8_t>(body + 8, body + size), room,
                                 [self, id](const sim::ControlRequest &request, const IO_STATUS_BLOCK &status) {
                                     std::vector<uint8_t> output = request.Returned();
                                     self->Answer(id, status, output.data(), output.size());
                                     request.Release();
                                 });
        break;
    }
    }
    std::lock_guard<std::mutex> guard(lock_);
    auto slot = inFlight_.find(id);
    if (slot != inFlight_.end()) {
        slot->second = issued;
    }
    return true;
}

void Connection::Cancel(uint64_t id)
{
    std::optional<sim::Request> request;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = inFlight_.find(id);
        if (found != inFlight_.end()) {
            request = found->second;
        }
    }
    // Outside the lock: the driver's cancel routine completes the request,
    // and its answer comes through here.
    if (request) {
        request->Cancel();
    }
}

void Connection::Answer(uint64_t id, const IO_STATUS_BLOCK &status, const uint8_t *bytes, size_t count)
{
    uint8_t head[kHeaderSize + kAnswerPrefixSize];
    Header header;
    header.length = static_cast<uint32_t>(sizeof head + count);
    header.kind = MessageKind::Answer;
    header.id = id;
    EncodeHeader(header, head);
    PutU32(head + kHeaderSize, static_cast<uint32_t>(status.Status));
    PutU32(head + kHeaderSize + 4, static_cast<uint32_t>(status.Information));
    watcher_->Answering();

    std::lock_guard<std::mutex> guard(lock_);
    inFlight_.erase(id);
    if (!peerGone_ && backlog_.empty()) {
        iovec pieces[2] = {{head, sizeof head}, {const_cast<uint8_t *>(bytes), count}};
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = count == 0 ? 1 : 2;
        ssize_t sent;
        do {
            sent = sendmsg(socket_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            peerGone_ = true;  // the client is gone; answers are only let go of
        }
        if (sent >= 0 || peerGone_) {
            UpdateInterest();
            return;
        }
    }
    if (!peerGone_) {
        // Bounded: requests in flight are, and none is taken while this waits.
        std::vector<uint8_t> whole(head, head + sizeof head);
        whole.insert(whole.end(), bytes, bytes + count);
        backlog_.push_back(std::move(whole));
    }
    UpdateInterest();
}

void Connection::Drain()
{
    while (!peerGone_ && !backlog_.empty()) {
        const std::vector<uint8_t> &whole = backlog_.front();
        ssize_t sent = send(socket_, whole.data(), whole.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (sent < 0) {
            peerGone_ = true;
            backlog_.clear();
            return;
        }
        backlog_.pop_front();
    }
}

void Connection::UpdateInterest()
{
    if (peerGone_) {
        backlog_.clear();
    }
    uint32_t wanted = 0;
    if (!peerGone_ && !backlog_.empty()) {
        wanted = EPOLLOUT;
    } else if (handleOpen_) {
        wanted = EPOLLIN;  // for a client gone too: its hang-up wakes the loop to close the handle
    }
    if (wanted != interest_) {
        interest_ = wanted;
        watcher_->Watch(socket_, wanted);
    }
    bool finished = !handleOpen_ && inFlight_.empty() && backlog_.empty();
    if (finished && !finishedSaid_) {
        finishedSaid_ = true;
        watcher_->Finished();
    }
}

void Connection::Shut()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!handleOpen_) {
            return;
        }
        handleOpen_ = false;
        UpdateInterest();
    }
    // The handle's cleanup completes what is pending, whose answers come
    // through Answer; the close follows the last of them.
    handle_.Close();
    std::lock_guard<std::mutex> guard(lock_);
    UpdateInterest();
}

bool Connection::Finished() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return !handleOpen_ && inFlight_.empty() && backlog_.empty();
}

}  // namespace host
