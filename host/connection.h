// One client connection: one handle on \\.\rezezura opened with the peer's
// credentials, the requests it sends carried out on that handle from the
// service's loop, and each answer sent the moment its request completes, on
// whichever thread completes it. Nothing here blocks: what the socket
// refuses waits in a bounded backlog while the connection takes no more
// requests, and the loop is asked to say when the socket drains.
//
// Closing the connection closes the handle (cleanup at once, close after
// its last request); a malformed message closes this connection only.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/socket_messages.h"
#include "sim/client.h"

namespace host {

// What a connection asks of the loop that watches its socket; callable
// from any thread.
class ConnectionWatcher {
public:
    virtual ~ConnectionWatcher() = default;
    // Wake the loop for these readinesses of the connection's socket (EPOLLIN, EPOLLOUT).
    virtual void Watch(int socket, uint32_t events) = 0;
    // The connection finished: the loop may let it go.
    virtual void Finished() = 0;
    // An answer is about to leave: what the request changed on the
    // interfaces (a receive mode) must hold before the client hears of it.
    virtual void Answering() = 0;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Takes the accepted socket (non-blocking), opens the device with the
    // peer's credentials and greets the client with the open's status.
    static std::shared_ptr<Connection> Open(int socket, const ucred &peer, ConnectionWatcher *watcher);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    int Socket() const { return socket_; }

    // The socket has a request: carries out the next one, unless the
    // connection must wait for its answers to drain.
    void Readable();
    // The socket takes answers again.
    void Writable();
    // Carries out one message as it came in one datagram; false when it
    // closed the connection.
    bool Take(const uint8_t *message, size_t size);
    // Ends the connection as if the client had closed it; what its handle's
    // cleanup ends is still answered, if the socket takes it at once.
    void Shut();
    // The handle is closed, every request answered or let go of.
    bool Finished() const;

private:
    Connection(int socket, const ucred &peer, ConnectionWatcher *watcher);
    bool Carry(const rezezura::socket::Header &header, const uint8_t *body, size_t size);
    void Cancel(uint64_t id);
    // Answers request `id`: at once when the socket takes it, otherwise into
    // the backlog. Any thread.
    void Answer(uint64_t id, const IO_STATUS_BLOCK &status, const uint8_t *bytes, size_t count);
    // Sends as much of the backlog as the socket takes. Call with lock_ held.
    void Drain();
    // What the loop should wake for now. Call with lock_ held.
    void UpdateInterest();
    void Refuse(const std::string &why);
    std::string Peer() const;

    const int socket_;
    const ucred peer_;
    ConnectionWatcher *const watcher_;
    sim::ClientHandle handle_;

    mutable std::mutex lock_;  // this connection's own; guards what follows
    // Requests sent to the driver and not yet answered; empty while being issued.
    std::map<uint64_t, std::optional<sim::Request>> inFlight_;
    std::deque<std::vector<uint8_t>> backlog_;  // whole answers the socket refused
    bool handleOpen_ = false;
    bool peerGone_ = false;  // the socket failed; answers are let go of
    uint32_t interest_ = 0;
    bool finishedSaid_ = false;
};

}  // namespace host
