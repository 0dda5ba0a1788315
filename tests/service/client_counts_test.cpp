// The client library takes no count from the service beyond the room the
// request gave: a fake service answers a client's request with more bytes,
// or a larger Information, than the request left room for, and the library
// refuses the answer as malformed rather than hand the caller a count past
// its buffer.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "client/rezezura_client.h"
#include "client/socket_messages.h"
#include "tests/service/service_world.h"

namespace service_test {
namespace {

using namespace rezezura::socket;

// A service on a socket of its own that greets one client and answers its
// first request as told, then waits for the client to close; every wait is
// bounded.
class FakeService {
public:
    FakeService(uint32_t information, std::vector<uint8_t> bytes)
        : path_(FreshSocketPath()), information_(information), bytes_(std::move(bytes))
    {
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        listening_ = bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                     listen(listener_, 1) == 0;
        setenv(REZEZURA_SOCKET_VARIABLE, path_.c_str(), 1);
        server_ = std::thread([this] { Serve(); });
    }
    ~FakeService()
    {
        server_.join();
        close(listener_);
        unlink(path_.c_str());
    }
    bool Listening() const { return listening_; }

private:
    static bool Ready(int socket)
    {
        pollfd wait{socket, POLLIN, 0};
        return poll(&wait, 1, static_cast<int>(kLimit.count())) == 1;
    }

    static void SendAnswer(int client, uint64_t id, uint32_t information, const std::vector<uint8_t> &bytes)
    {
        std::vector<uint8_t> answer(kHeaderSize + kAnswerPrefixSize);
        Header header;
        header.length = static_cast<uint32_t>(answer.size() + bytes.size());
        header.kind = MessageKind::Answer;
        header.id = id;
        EncodeHeader(header, answer.data());
        PutU32(answer.data() + kHeaderSize, 0);  // STATUS_SUCCESS
        PutU32(answer.data() + kHeaderSize + 4, information);
        answer.insert(answer.end(), bytes.begin(), bytes.end());
        send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
    }

    void Serve()
    {
        if (!listening_ || !Ready(listener_)) {
            return;
        }
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        SendAnswer(client, 0, 0, {});
        std::vector<uint8_t> request(kMaxMessage);
        if (Ready(client)) {
            ssize_t got = recv(client, request.data(), request.size(), 0);
            if (got >= static_cast<ssize_t>(kHeaderSize)) {
                SendAnswer(client, DecodeHeader(request.data()).id, information_, bytes_);
            }
        }
        // Until the client closes, or the limit.
        while (Ready(client) && recv(client, request.data(), request.size(), 0) > 0) {
        }
        close(client);
    }

    std::string path_;
    int listener_ = -1;
    bool listening_ = false;
    uint32_t information_;
    std::vector<uint8_t> bytes_;
    std::thread server_;
};

constexpr uint32_t kRoom = 64;
constexpr size_t kGuard = 32;

// A read of kRoom bytes into a buffer with a guard after it, answered as the
// fake service is told; the guard must stay untouched whatever it says.
rezezura_result ReadAnswered(uint32_t information, std::vector<uint8_t> bytes, std::vector<uint8_t> *buffer)
{
    FakeService service(information, std::move(bytes));
    EXPECT_TRUE(service.Listening());
    rezezura_client *client = nullptr;
    rezezura_result opened = rezezura_open(&client);
    EXPECT_EQ(opened.status, REZEZURA_STATUS_SUCCESS);
    if (opened.status != REZEZURA_STATUS_SUCCESS) {
        return opened;
    }
    buffer->assign(kRoom + kGuard, 0xEE);
    rezezura_result result = rezezura_read(client, buffer->data(), kRoom, REZEZURA_NO_TIME_LIMIT);
    rezezura_close(client);
    for (size_t at = kRoom; at < buffer->size(); ++at) {
        EXPECT_EQ((*buffer)[at], 0xEE) << "the guard after the buffer was written at " << at;
    }
    return result;
}

TEST(ClientCounts, AnAnswerWithinTheRoomIsTakenWhole)
{
    std::vector<uint8_t> buffer;
    rezezura_result result = ReadAnswered(60, std::vector<uint8_t>(60, 0x5A), &buffer);
    EXPECT_EQ(result.status, REZEZURA_STATUS_SUCCESS);
    EXPECT_EQ(result.information, 60u);
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(buffer[59], 0x5A);
}

TEST(ClientCounts, AnInformationBeyondTheRoomIsRefused)
{
    std::vector<uint8_t> buffer;
    rezezura_result result = ReadAnswered(kRoom + 1000, std::vector<uint8_t>(kRoom, 0x5A), &buffer);
    EXPECT_EQ(result.status, REZEZURA_STATUS_PIPE_DISCONNECTED);
    EXPECT_EQ(result.system_error, EPROTO);
    EXPECT_EQ(result.information, 0u);
}

TEST(ClientCounts, MoreBytesThanTheRoomAreRefused)
{
    std::vector<uint8_t> buffer;
    rezezura_result result = ReadAnswered(kRoom, std::vector<uint8_t>(kRoom + kGuard, 0x5A), &buffer);
    EXPECT_EQ(result.status, REZEZURA_STATUS_PIPE_DISCONNECTED);
    EXPECT_EQ(result.system_error, EPROTO);
}

TEST(ClientCounts, AWriteSaidToHaveTakenMoreThanItsFrameIsRefused)
{
    FakeService service(61, {});
    ASSERT_TRUE(service.Listening());
    rezezura_client *client = nullptr;
    ASSERT_EQ(rezezura_open(&client).status, REZEZURA_STATUS_SUCCESS);
    std::vector<uint8_t> frame(60, 0x11);
    rezezura_result result = rezezura_write(client, frame.data(), static_cast<uint32_t>(frame.size()));
    rezezura_close(client);
    EXPECT_EQ(result.status, REZEZURA_STATUS_PIPE_DISCONNECTED);
    EXPECT_EQ(result.system_error, EPROTO);
}

}  // namespace
}  // namespace service_test
