#include "host/connection.h"

#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "client/socket_receive.h"
#include "control/relay_ioctl.h"
#include "sim/tokens.h"

namespace host {

using namespace rezezura::socket;

namespace {

// Writes every byte the pieces hold, however the socket takes them.
bool SendAll(int socket, iovec *pieces, int count)
{
    while (count > 0) {
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<size_t>(count);
        ssize_t sent = sendmsg(socket, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        size_t left = static_cast<size_t>(sent);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<uint8_t *>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return true;
}

}  // namespace

std::shared_ptr<Connection> Connection::Start(int socket, const ucred &peer, int finished)
{
    std::shared_ptr<Connection> connection(new Connection(socket, peer, finished));
    connection->reader_ = std::thread([connection] { connection->ReadRequests(); });
    connection->writer_ = std::thread([connection] { connection->WriteAnswers(); });
    return connection;
}

Connection::Connection(int socket, const ucred &peer, int finished)
    : socket_(socket), peer_(peer), finished_(finished)
{
    // A client that takes no answers for this long is gone.
    timeval limit{5, 0};
    setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

Connection::~Connection()
{
    close(socket_);
}

void Connection::Shut()
{
    // The reader sees the end; the answers of what the cleanup ends still go out.
    shutdown(socket_, SHUT_RD);
}

bool Connection::Finished() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return readerDone_ && writerDone_;
}

void Connection::Join()
{
    if (reader_.joinable()) {
        reader_.join();
    }
    if (writer_.joinable()) {
        writer_.join();
    }
}

std::string Connection::Peer() const
{
    return "pid " + std::to_string(peer_.pid) + " (uid " + std::to_string(peer_.uid) + ")";
}

void Connection::Refuse(const std::string &why)
{
    std::fprintf(stderr, "rezezura-host: closed the connection of %s: %s\n", Peer().c_str(), why.c_str());
    shutdown(socket_, SHUT_RDWR);
}

void Connection::ReadRequests()
{
    // The administrators' token for root, an ordinary user's for anyone
    // else: the device's own security decides.
    sim::Account account = peer_.uid == 0 ? sim::Account::Administrator : sim::Account::OrdinaryUser;
    Answer greeting;
    greeting.status.Status = sim::ClientHandle::Open(u"\\\\.\\" u"rezezura", account,
                                                     GENERIC_READ | GENERIC_WRITE, &handle_);
    opened_ = NT_SUCCESS(greeting.status.Status);
    Post(std::move(greeting));
    while (opened_) {
        uint8_t head[kHeaderSize];
        if (!ReceiveExactly(socket_, head, sizeof head)) {
            break;
        }
        Header header = DecodeHeader(head);
        if (!ValidRequestHeader(header)) {
            Refuse("malformed message header (version " + std::to_string(header.version) + ", kind " +
                   std::to_string(static_cast<unsigned>(header.kind)) + ", length " +
                   std::to_string(header.length) + ")");
            break;
        }
        std::vector<uint8_t> body(header.length - kHeaderSize);
        if (!ReceiveExactly(socket_, body.data(), body.size())) {
            break;
        }
        if (!Carry(header, std::move(body))) {
            break;
        }
    }
    if (opened_) {
        handle_.Close();
    }
    std::lock_guard<std::mutex> guard(lock_);
    readerDone_ = true;
    changed_.notify_all();
}

bool Connection::Carry(const Header &header, std::vector<uint8_t> body)
{
    if (header.kind == MessageKind::Cancel) {
        Cancel(GetU64(body.data()));
        return true;
    }
    uint32_t room = 0;
    if (header.kind == MessageKind::Read) {
        room = GetU32(body.data());
    } else if (header.kind == MessageKind::DeviceControl) {
        room = GetU32(body.data() + 4);
    }
    if (room > kMaxRoom) {
        Refuse("a request asked for " + std::to_string(room) + " bytes of room, more than " +
               std::to_string(kMaxRoom));
        return false;
    }
    uint64_t id = header.id;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (id == 0 || !inFlight_.emplace(id, std::nullopt).second) {
            Refuse("request id " + std::to_string(id) + " is 0 or already in flight");
            return false;
        }
    }
    std::shared_ptr<Connection> self = shared_from_this();
    auto answered = [self, id](const sim::Request &request, const IO_STATUS_BLOCK &status,
                               std::shared_ptr<const sim::CallerPieces> read, std::vector<uint8_t> bytes) {
        Answer answer;
        answer.id = id;
        answer.status = status;
        answer.request = request;
        answer.read = std::move(read);
        answer.bytes = std::move(bytes);
        self->Post(std::move(answer));
    };
    std::optional<sim::Request> issued;
    switch (header.kind) {
    case MessageKind::Read:
        issued = handle_.Read(room, [answered](const sim::Request &request, const IO_STATUS_BLOCK &status) {
            answered(request, status, sim::CallerBuffer(request), {});
        });
        break;
    case MessageKind::Write:
        issued = handle_.Write(std::move(body), [answered](const sim::Request &request, const IO_STATUS_BLOCK &status) {
            answered(request, status, nullptr, {});
        });
        break;
    default: {
        uint32_t code = GetU32(body.data());
        body.erase(body.begin(), body.begin() + 8);
        issued = handle_.Control(code, std::move(body), room,
                                 [answered](const sim::ControlRequest &request, const IO_STATUS_BLOCK &status) {
                                     answered(request, status, nullptr, request.Returned());
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
    // and its answer is posted here.
    if (request) {
        request->Cancel();
    }
}

void Connection::Post(Answer answer)
{
    std::lock_guard<std::mutex> guard(lock_);
    inFlight_.erase(answer.id);
    answers_.push_back(std::move(answer));
    changed_.notify_all();
}

bool Connection::Send(const Answer &answer)
{
    const uint8_t *bytes = nullptr;
    size_t count = 0;
    if (answer.read && !answer.read->empty()) {
        const std::vector<uint8_t> &buffer = answer.read->front();
        bytes = buffer.data();
        count = std::min<size_t>(answer.status.Information, buffer.size());
    } else if (!answer.bytes.empty()) {
        bytes = answer.bytes.data();
        count = answer.bytes.size();
    }
    uint8_t head[kHeaderSize + kAnswerPrefixSize];
    Header header;
    header.length = static_cast<uint32_t>(sizeof head + count);
    header.kind = MessageKind::Answer;
    header.id = answer.id;
    EncodeHeader(header, head);
    PutU32(head + kHeaderSize, static_cast<uint32_t>(answer.status.Status));
    PutU32(head + kHeaderSize + 4, static_cast<uint32_t>(answer.status.Information));
    iovec pieces[2] = {{head, sizeof head}, {const_cast<uint8_t *>(bytes), count}};
    return SendAll(socket_, pieces, count == 0 ? 1 : 2);
}

void Connection::WriteAnswers()
{
    bool peerGone = false;
    for (;;) {
        Answer answer;
        {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [this] { return !answers_.empty() || (readerDone_ && inFlight_.empty()); });
            if (answers_.empty()) {
                writerDone_ = true;
                break;
            }
            answer = std::move(answers_.front());
            answers_.pop_front();
        }
        // Once the client is gone, answers are only let go of.
        if (!peerGone && !Send(answer)) {
            peerGone = true;
            shutdown(socket_, SHUT_RDWR);
        }
        if (answer.request) {
            answer.request->Release();
        }
    }
    uint64_t one = 1;
    ssize_t written = write(finished_, &one, sizeof one);
    (void)written;
}

}  // namespace host
