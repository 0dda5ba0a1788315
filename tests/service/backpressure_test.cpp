// What one client can ask of rezezura-host is bounded: a client that never
// reads its answers holds up neither the other clients, nor the wire, nor
// the service's stop; requests beyond those one connection may have in
// flight are refused with their own status.
#include <gtest/gtest.h>

#include <memory>

#include "client/rezezura_client.h"
#include "client/socket_messages.h"
#include "tests/service/client_pressure.h"
#include "tests/service/raw_client.h"
#include "tests/service/service_world.h"

namespace service_test {
namespace {

using rezezura::socket::MessageKind;

class BackpressureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        service_ = std::make_unique<Service>(std::vector<std::string>{"--adapter", pair_.Near()});
        ASSERT_TRUE(service_->Ready()) << (service_->Lines().empty() ? "no line" : service_->Lines().back());
        far_ = std::make_unique<RawPort>(pair_.Far());
    }

    // A client reading, its read known to have reached the driver.
    std::unique_ptr<RawClient> Reading(uint64_t id)
    {
        auto raw = std::make_unique<RawClient>(service_->SocketPath());
        EXPECT_TRUE(raw->Attach(pair_.Near()));
        raw->Read(id, kFrameRoom);
        EXPECT_TRUE(raw->Sync());
        return raw;
    }

    VethPair pair_;
    std::unique_ptr<Service> service_;
    std::unique_ptr<RawPort> far_;
};

TEST_F(BackpressureTest, AClientThatNeverReadsHoldsUpNeitherOthersNorTheWireNorTheStop)
{
    // Queries answered at once, never read: once its socket holds no more
    // answers the service takes no more of its requests, and the client's
    // own socket fills with them and stays full. A service that went on
    // taking them would keep making room, answers piling up inside it.
    RawClient stuck(service_->SocketPath());
    ASSERT_TRUE(stuck.Attach(pair_.Near()));
    stuck.Read(2, kFrameRoom);  // a frame for it too, whose answer has nowhere to go
    constexpr uint64_t kRequests = 100000;
    uint64_t taken = SendQueriesUntilRefused(stuck, 3, kRequests, std::chrono::seconds(1));
    EXPECT_LT(taken, kRequests / 10) << "the service went on taking the requests of a client that reads no answer";

    std::unique_ptr<RawClient> reader = Reading(2);
    Frame sent = EapolFrame(pair_.NearAddress(), kPeer, 0x31);
    far_->Send(sent);
    std::optional<RawAnswer> read = reader->AnswerTo(2);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, 0);
    EXPECT_EQ(read->bytes, sent);

    Frame written = EapolFrame(kPeer, pair_.NearAddress(), 0x32);
    reader->Send(MessageKind::Write, 3, written);
    std::optional<RawAnswer> write = reader->AnswerTo(3);
    ASSERT_TRUE(write);
    EXPECT_EQ(write->status, 0);
    EXPECT_EQ(far_->Receive(0x888E), written);

    EXPECT_EQ(service_->Stop(), 0);
    ASSERT_FALSE(service_->Lines().empty());
    EXPECT_NE(service_->Lines().back().find("every rule kept"), std::string::npos) << service_->Lines().back();
}

TEST_F(BackpressureTest, ARequestBeyondThoseInFlightIsRefusedAndTheOthersGoOn)
{
    RawClient greedy(service_->SocketPath());
    ASSERT_TRUE(greedy.Attach(pair_.Near()));
    std::optional<RawAnswer> beyond = ReadPastTheCap(greedy, 10, 9);
    ASSERT_TRUE(beyond);
    EXPECT_EQ(beyond->status, REZEZURA_STATUS_INSUFFICIENT_RESOURCES);

    // One read ended makes room for one more request.
    greedy.Send(MessageKind::Cancel, 10, {10, 0, 0, 0, 0, 0, 0, 0});
    std::optional<RawAnswer> cancelled = greedy.AnswerTo(10);
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(cancelled->status, REZEZURA_STATUS_CANCELLED);
    EXPECT_TRUE(greedy.Sync());

    // The reads in flight still take the frame.
    Frame sent = EapolFrame(pair_.NearAddress(), kPeer, 0x41);
    far_->Send(sent);
    std::optional<RawAnswer> read = greedy.AnswerTo(11);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->bytes, sent);

    EXPECT_EQ(service_->Stop(), 0);
}

}  // namespace
}  // namespace service_test
