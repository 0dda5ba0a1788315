// libFuzzer target: the service's side of its socket. Datagrams of any
// bytes reach one client connection, served on the driver loaded on the
// sim, mixed with frames the adapter receives; every answer that leaves is
// one whole well-formed message, a malformed datagram closes only the
// connection, and once it ends every request has completed once and
// nothing is left behind.
//
// Input: records until it ends: a u16 (little-endian) whose top bit says
// what follows, then that many bytes (the low 15 bits): a datagram sent to
// the service, or (top bit set) a frame the adapter receives.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "client/socket_messages.h"
#include "host/connection.h"
#include "tests/fuzz/driver_stage.h"

namespace {

using namespace rezezura::socket;

class Watcher : public host::ConnectionWatcher {
public:
    void Watch(int, uint32_t) override {}
    void Finished() override {}
    void Answering() override {}
};

// Takes every answer waiting on the client's end, each checked whole.
void TakeAnswers(int client)
{
    static std::vector<uint8_t> buffer(kMaxMessage + 1);
    for (;;) {
        ssize_t got = recv(client, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (got <= 0) {
            return;
        }
        if (static_cast<size_t>(got) < kHeaderSize + kAnswerPrefixSize || static_cast<size_t>(got) > kMaxMessage) {
            fuzz::Fail("an answer of the wrong size");
        }
        Header header = DecodeHeader(buffer.data());
        if (header.version != kSocketVersion || !ValidAnswerHeader(header) || header.length != static_cast<size_t>(got)) {
            fuzz::Fail("a malformed answer");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::DriverStage stage;
    if (!stage.Start(false)) {
        fuzz::Fail("the driver did not load");
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
        fuzz::Fail("no socket pair");
    }
    Watcher watcher;
    std::shared_ptr<host::Connection> connection = host::Connection::Open(ends[0], ucred{1, 0, 0}, &watcher);
    TakeAnswers(ends[1]);
    size_t offset = 0;
    while (offset + 2 <= size) {
        uint16_t word = GetU16(data + offset);
        offset += 2;
        size_t length = std::min<size_t>(word & 0x7FFF, size - offset);
        const uint8_t *bytes = data + offset;
        offset += length;
        if ((word & 0x8000) != 0) {
            stage.Adapter().IndicateReceive(std::vector<uint8_t>(bytes, bytes + length));
        } else if (send(ends[1], bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
            connection->Readable();
        }
        TakeAnswers(ends[1]);
    }
    connection->Shut();
    TakeAnswers(ends[1]);
    connection.reset();
    close(ends[1]);
    stage.Finish();
    return 0;
}
