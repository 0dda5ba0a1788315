// One client connection: one handle on \\.\rezezura opened with the peer's
// credentials, the requests it sends carried out on that handle, and their
// answers written back as they complete. Closing the connection closes the
// handle (cleanup at once, close after its last request); a malformed
// message closes this connection only.
#pragma once

#include <sys/socket.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "client/socket_messages.h"
#include "sim/client.h"
#include "sim/direct_io.h"

namespace host {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Takes the accepted socket; `finished` is written to once both of the
    // connection's threads are done and Join will not block.
    static std::shared_ptr<Connection> Start(int socket, const ucred &peer, int finished);
    ~Connection();

    // Ends the connection as if the client had closed it; what its handle's
    // cleanup ends is still answered.
    void Shut();
    bool Finished() const;
    void Join();

private:
    struct Answer {
        uint64_t id = 0;
        IO_STATUS_BLOCK status{};
        std::optional<sim::Request> request;         // released once answered
        std::shared_ptr<const sim::CallerPieces> read; // a read's buffer
        std::vector<uint8_t> bytes;                   // a control request's output
    };

    Connection(int socket, const ucred &peer, int finished);
    void ReadRequests();
    bool Carry(const rezezura::socket::Header &header, std::vector<uint8_t> body);
    void Cancel(uint64_t id);
    void Post(Answer answer);
    void WriteAnswers();
    bool Send(const Answer &answer);
    void Refuse(const std::string &why);
    std::string Peer() const;

    const int socket_;
    const ucred peer_;
    const int finished_;
    sim::ClientHandle handle_;
    bool opened_ = false;
    std::thread reader_;
    std::thread writer_;

    mutable std::mutex lock_;  // guards what follows
    std::condition_variable changed_;
    // Requests sent to the driver and not yet answered; empty while being issued.
    std::map<uint64_t, std::optional<sim::Request>> inFlight_;
    std::deque<Answer> answers_;
    bool readerDone_ = false;
    bool writerDone_ = false;
};

}  // namespace host
