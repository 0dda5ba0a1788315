// rezezura-host on veth pairs: a client of the library sees what the far
// end sends and the far end what the client writes, through the driver on
// the sim, with the driver's filters, indications, removal and security.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/rezezura_client.h"
#include "client/socket_messages.h"
#include "control/relay_ioctl.h"
#include "tests/service/raw_client.h"
#include "tests/service/service_world.h"

namespace service_test {
namespace {


struct ClientCloser {
    void operator()(rezezura_client *client) const { rezezura_close(client); }
};
using Client = std::unique_ptr<rezezura_client, ClientCloser>;

class ServiceTest : public ::testing::Test {
protected:
    // The service's command line.
    virtual std::vector<std::string> Arguments() const { return {"--adapter", pair_.Near()}; }

    void SetUp() override
    {
        service_ = std::make_unique<Service>(Arguments());
        ASSERT_TRUE(service_->Ready()) << (service_->Lines().empty() ? "no line" : service_->Lines().back());
        setenv(REZEZURA_SOCKET_VARIABLE, service_->SocketPath().c_str(), 1);
        far_ = std::make_unique<RawPort>(pair_.Far());
        station_ = pair_.NearAddress();
    }

    // The service stops cleanly whatever the test left connected.
    void TearDown() override
    {
        if (service_ && service_->Ready()) {
            int status = service_->Stop();
            std::string said;
            for (const std::string &line : service_->Lines()) {
                said += line + "\n";
            }
            EXPECT_EQ(status, 0) << said;
            ASSERT_FALSE(service_->Lines().empty());
            EXPECT_NE(service_->Lines().back().find("every rule kept"), std::string::npos) << service_->Lines().back();
        }
    }

    Client Attached()
    {
        rezezura_client *client = nullptr;
        rezezura_result opened = rezezura_open(&client);
        EXPECT_EQ(opened.status, REZEZURA_STATUS_SUCCESS);
        if (opened.status != REZEZURA_STATUS_SUCCESS) {
            return nullptr;
        }
        rezezura_result attached = rezezura_attach(client, pair_.Near().c_str());
        EXPECT_EQ(attached.status, REZEZURA_STATUS_SUCCESS);
        return Client(client);
    }

    // A hand-driven connection, attached, with a read of `id` in the driver.
    std::unique_ptr<RawClient> Reading(uint64_t id)
    {
        auto raw = std::make_unique<RawClient>(service_->SocketPath());
        EXPECT_EQ(raw->Greeting(), 0);
        EXPECT_TRUE(raw->Attach(pair_.Near()));
        raw->Read(id, kFrameRoom);
        EXPECT_TRUE(raw->Sync());
        return raw;
    }

    // The frame the read of `id` returned.
    std::optional<Frame> Received(RawClient &raw, uint64_t id)
    {
        std::optional<RawAnswer> answer = raw.AnswerTo(id);
        if (!answer || answer->status != 0) {
            return std::nullopt;
        }
        return answer->bytes;
    }

    // A frame from the far end reaches a read whole, a write leaves
    // unchanged, and a query is answered.
    void FramesCrossBothWays()
    {
        std::unique_ptr<RawClient> raw = Reading(2);
        Frame sent = EapolFrame(station_, kPeer, 0x11);
        sent.resize(300, 0x5A);
        far_->Send(sent);
        EXPECT_EQ(Received(*raw, 2), sent);

        Client client = Attached();
        Frame written = EapolFrame(kPeer, station_, 0x22);
        rezezura_result result = rezezura_write(client.get(), written.data(), static_cast<uint32_t>(written.size()));
        EXPECT_EQ(result.status, REZEZURA_STATUS_SUCCESS);
        EXPECT_EQ(result.information, written.size());
        EXPECT_EQ(far_->Receive(0x888E), written);

        uint8_t address[6] = {};
        result = rezezura_query_oid(client.get(), REZEZURA_OID_802_3_CURRENT_ADDRESS, address, sizeof address);
        EXPECT_EQ(result.status, REZEZURA_STATUS_SUCCESS);
        EXPECT_EQ(Mac(std::to_array(address)), station_);
    }

    void SetFilter(const Client &client, uint32_t filter)
    {
        uint8_t value[4] = {uint8_t(filter), uint8_t(filter >> 8), uint8_t(filter >> 16), uint8_t(filter >> 24)};
        ASSERT_EQ(rezezura_set_oid(client.get(), REZEZURA_OID_GEN_CURRENT_PACKET_FILTER, value, 4).status,
                  REZEZURA_STATUS_SUCCESS);
    }

    VethPair pair_;
    std::unique_ptr<Service> service_;
    std::unique_ptr<RawPort> far_;
    Mac station_{};
};

TEST_F(ServiceTest, FramesFromTheFarEndArriveWholeAndWritesLeaveUnchanged)
{
    FramesCrossBothWays();
}

// Neither the loop nor the library looking for more before they sleep: every
// frame and answer then comes through a wake-up, and all still cross.
class SleepingTest : public ServiceTest {
protected:
    std::vector<std::string> Arguments() const override { return {"--adapter", pair_.Near(), "--busy-poll", "0"}; }
    void SetUp() override
    {
        setenv(REZEZURA_BUSY_POLL_VARIABLE, "0", 1);
        ServiceTest::SetUp();
    }
    void TearDown() override
    {
        ServiceTest::TearDown();
        unsetenv(REZEZURA_BUSY_POLL_VARIABLE);
    }
};

TEST_F(SleepingTest, FramesCrossWithNoLookBeforeTheSleep)
{
    FramesCrossBothWays();
}

TEST_F(ServiceTest, ALibraryReadPastItsTimeLimitIsCancelled)
{
    Client client = Attached();
    Frame frame(kFrameRoom);
    rezezura_result result = rezezura_read(client.get(), frame.data(), kFrameRoom, 50);
    EXPECT_EQ(result.status, REZEZURA_STATUS_CANCELLED);
    EXPECT_TRUE(result.timed_out);
}

// What the far end sends, of which only the last frame is for a client.
Frame SendFramesOfEveryKind(const RawPort &far, const Mac &station)
{
    far.Send(EthernetFrame({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, kPeer, 0x0806, std::vector<uint8_t>(28, 1)));
    far.Send(EthernetFrame(station, kPeer, 0x0800, std::vector<uint8_t>(40, 0x45)));
    // EAPOL inside an 802.1Q tag, and EAPOL for another station.
    far.Send(EthernetFrame(station, kPeer, 0x8100, {0x00, 0x05, 0x88, 0x8E, 0x02, 0x01, 0x00, 0x00}));
    far.Send(EapolFrame({0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, kPeer, 0x33));
    Frame wanted = EapolFrame(station, kPeer, 0x44);
    far.Send(wanted);
    return wanted;
}

TEST_F(ServiceTest, OnlyUntaggedEapolForTheStationReachesAClient)
{
    std::unique_ptr<RawClient> raw = Reading(2);
    Frame wanted = SendFramesOfEveryKind(*far_, station_);
    EXPECT_EQ(Received(*raw, 2), wanted);
}

// The service offering the driver every frame, as NDIS does, rather than
// what its filter in the kernel lets through.
class EveryFrameTest : public ServiceTest {
protected:
    std::vector<std::string> Arguments() const override { return {"--adapter", pair_.Near(), "--every-frame"}; }
};

TEST_F(EveryFrameTest, TheDriverItselfLetsOnlyUntaggedEapolForTheStationThrough)
{
    std::unique_ptr<RawClient> raw = Reading(2);
    Frame wanted = SendFramesOfEveryKind(*far_, station_);
    EXPECT_EQ(Received(*raw, 2), wanted);
}

TEST_F(ServiceTest, GroupAddressedEapolArrivesOnlyOnceTheClientJoined)
{
    std::unique_ptr<RawClient> raw = Reading(2);
    far_->Send(EapolFrame(kPaeGroup, kPeer, 0x01));
    Frame directed = EapolFrame(station_, kPeer, 0x02);
    far_->Send(directed);
    EXPECT_EQ(Received(*raw, 2), directed);

    // Join: the PAE group address on the list, the multicast bit in the filter.
    std::vector<uint8_t> list = Le32(REZEZURA_OID_802_3_MULTICAST_LIST);
    list.insert(list.end(), kPaeGroup.begin(), kPaeGroup.end());
    raw->Control(3, IOCTL_RELAY_SET_OID, list, 6);
    ASSERT_EQ(raw->AnswerTo(3)->status, 0);
    std::vector<uint8_t> filter = Le32(REZEZURA_OID_GEN_CURRENT_PACKET_FILTER);
    std::vector<uint8_t> bits = Le32(REZEZURA_PACKET_TYPE_DIRECTED | REZEZURA_PACKET_TYPE_MULTICAST);
    filter.insert(filter.end(), bits.begin(), bits.end());
    raw->Control(4, IOCTL_RELAY_SET_OID, filter, 4);
    ASSERT_EQ(raw->AnswerTo(4)->status, 0);
    raw->Read(5, kFrameRoom);
    ASSERT_TRUE(raw->Sync());
    // Another group address stays out; the PAE group's frame comes in.
    far_->Send(EapolFrame({0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E}, kPeer, 0x04));
    Frame group = EapolFrame(kPaeGroup, kPeer, 0x03);
    far_->Send(group);
    EXPECT_EQ(Received(*raw, 5), group);
}

// The packet filter and multicast list the driver sets reach the interface,
// and nothing of them stays there once the service has stopped, whichever
// way the service asked the interface.
TEST_F(ServiceTest, TheReceiveModeReachesTheInterfaceAndLeavesWithTheService)
{
    HeldReceiveMode before = HeldBy(pair_.Near());
    ASSERT_EQ(before.promiscuity, 0);
    ASSERT_EQ(before.allMulticast, 0);
    ASSERT_EQ(std::count(before.multicast.begin(), before.multicast.end(), kPaeGroup), 0);

    Client client = Attached();
    ASSERT_EQ(rezezura_set_oid(client.get(), REZEZURA_OID_802_3_MULTICAST_LIST, kPaeGroup.data(), 6).status,
              REZEZURA_STATUS_SUCCESS);
    SetFilter(client, REZEZURA_PACKET_TYPE_DIRECTED | REZEZURA_PACKET_TYPE_MULTICAST |
                          REZEZURA_PACKET_TYPE_ALL_MULTICAST | REZEZURA_PACKET_TYPE_PROMISCUOUS);
    HeldReceiveMode joined = HeldBy(pair_.Near());
    EXPECT_EQ(joined.promiscuity, 1);
    EXPECT_EQ(joined.allMulticast, 1);
    EXPECT_EQ(std::count(joined.multicast.begin(), joined.multicast.end(), kPaeGroup), 1);

    client.reset();
    EXPECT_EQ(service_->Stop(), 0);
    service_.reset();
    HeldReceiveMode after = HeldBy(pair_.Near());
    EXPECT_EQ(after.promiscuity, 0);
    EXPECT_EQ(after.allMulticast, 0);
    EXPECT_EQ(std::count(after.multicast.begin(), after.multicast.end(), kPaeGroup), 0);
}

TEST_F(ServiceTest, CarrierDownAndUpBecomeTheMediaIndicationsAWaitingClientGets)
{
    RawClient raw(service_->SocketPath());
    ASSERT_TRUE(raw.Attach(pair_.Near()));
    raw.Control(2, IOCTL_RELAY_WAIT_STATUS, Le32(RELAY_WAIT_MEDIA_DISCONNECT), 0);
    ASSERT_TRUE(raw.Sync());
    ASSERT_EQ(RunProgram({"ip", "link", "set", pair_.Far(), "down"}), 0);
    std::optional<RawAnswer> down = raw.AnswerTo(2);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->status, 0);
    EXPECT_TRUE(service_->WaitForLine("media disconnected"));

    Client client = Attached();
    uint8_t state[4] = {};
    EXPECT_EQ(rezezura_query_oid(client.get(), REZEZURA_OID_GEN_MEDIA_CONNECT_STATUS, state, 4).status, 0);
    EXPECT_EQ(state[0], 1);  // NdisMediaStateDisconnected

    raw.Control(3, IOCTL_RELAY_WAIT_STATUS, Le32(RELAY_WAIT_MEDIA_CONNECT), 0);
    ASSERT_TRUE(raw.Sync());
    ASSERT_EQ(RunProgram({"ip", "link", "set", pair_.Far(), "up"}), 0);
    std::optional<RawAnswer> up = raw.AnswerTo(3);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->status, 0);
}

TEST_F(ServiceTest, DeletingTheInterfaceCompletesAPendingReadWithDeviceRemoved)
{
    std::unique_ptr<RawClient> raw = Reading(2);
    ASSERT_EQ(RunProgram({"ip", "link", "del", pair_.Near()}), 0);
    std::optional<RawAnswer> read = raw->AnswerTo(2);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, REZEZURA_STATUS_DEVICE_REMOVED);
    EXPECT_TRUE(service_->WaitForLine("the driver unbound it"));
    rezezura_client *client = nullptr;
    ASSERT_EQ(rezezura_open(&client).status, REZEZURA_STATUS_SUCCESS);
    EXPECT_EQ(rezezura_attach(client, pair_.Near().c_str()).status, REZEZURA_STATUS_NO_SUCH_DEVICE);
    rezezura_close(client);
}

// The interface takes another address: the adapter goes and comes back with
// it, a read on the old binding ends, and frames to the new address arrive.
TEST_F(ServiceTest, ANewAddressOnTheInterfaceRebindsTheAdapterWithIt)
{
    std::unique_ptr<RawClient> raw = Reading(2);
    const Mac renamed = {0x02, 0x5A, 0x00, 0x00, 0x00, 0x07};
    ASSERT_EQ(RunProgram({"ip", "link", "set", "dev", pair_.Near(), "address", "02:5a:00:00:00:07"}), 0);
    std::optional<RawAnswer> read = raw->AnswerTo(2);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, REZEZURA_STATUS_DEVICE_REMOVED);
    ASSERT_TRUE(service_->WaitForLine("the driver unbound it and bound it again"));

    std::unique_ptr<RawClient> again = Reading(3);
    far_->Send(EapolFrame(station_, kPeer, 0x55));
    Frame wanted = EapolFrame(renamed, kPeer, 0x66);
    far_->Send(wanted);
    EXPECT_EQ(Received(*again, 3), wanted);
    Client client = Attached();
    uint8_t address[6] = {};
    rezezura_result result =
        rezezura_query_oid(client.get(), REZEZURA_OID_802_3_CURRENT_ADDRESS, address, sizeof address);
    EXPECT_EQ(result.status, REZEZURA_STATUS_SUCCESS);
    EXPECT_EQ(Mac(std::to_array(address)), renamed);
}

TEST_F(ServiceTest, AClientRunningAsAnOrdinaryUserIsRefused)
{
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(3);
        }
        rezezura_client *client = nullptr;
        rezezura_result opened = rezezura_open(&client);
        _exit(opened.status == REZEZURA_STATUS_ACCESS_DENIED ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The end of the connection, or a reset when the service closed with
// messages of ours it had not read yet.
bool ClosedByPeer(int raw)
{
    pollfd wait{raw, POLLIN, 0};
    char byte;
    if (poll(&wait, 1, 5000) != 1) {
        return false;
    }
    ssize_t got = recv(raw, &byte, 1, 0);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

// A connection greeted by the service and then fed datagrams by hand.
int Connect(const std::string &path)
{
    int raw = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(connect(raw, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    uint8_t greeting[rezezura::socket::kHeaderSize + rezezura::socket::kAnswerPrefixSize];
    EXPECT_EQ(recv(raw, greeting, sizeof greeting, 0), static_cast<ssize_t>(sizeof greeting));
    return raw;
}

TEST_F(ServiceTest, MalformedMessagesCloseOnlyTheirOwnConnection)
{
    std::unique_ptr<RawClient> reader = Reading(2);

    using namespace rezezura::socket;
    auto message = [](uint32_t length, uint16_t version, uint16_t kind, size_t body) {
        std::vector<uint8_t> bytes(kHeaderSize + body, 0);
        Header header;
        header.length = length;
        header.version = version;
        header.kind = static_cast<MessageKind>(kind);
        header.id = 7;
        EncodeHeader(header, bytes.data());
        return bytes;
    };
    const uint16_t version = kSocketVersion;
    std::vector<uint8_t> greedyRead = message(kHeaderSize + 4, version, 1, 4);
    PutU32(greedyRead.data() + kHeaderSize, kMaxRoom + 1);
    const std::vector<std::vector<uint8_t>> malformed = {
        message(kHeaderSize, version, 9, 0),            // unknown kind
        message(kMaxMessage + 1, version, 2, 0),        // a length beyond any message
        message(kMaxMessage + 1, version, 2, kMaxMessage + 1 - kHeaderSize),  // a datagram beyond any message
        message(kHeaderSize + 100, version, 2, 10),     // a length other than the datagram's
        message(kHeaderSize + 2, version, 1, 2),        // a read without its length
        std::vector<uint8_t>(kHeaderSize - 1, 0),       // shorter than a header
        greedyRead,                                     // a read asking for too much room
    };
    for (const std::vector<uint8_t> &bytes : malformed) {
        int raw = Connect(service_->SocketPath());
        ASSERT_EQ(send(raw, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        EXPECT_TRUE(ClosedByPeer(raw));
        close(raw);
    }
    // A client of another version is told so, then the connection closes.
    {
        int raw = Connect(service_->SocketPath());
        std::vector<uint8_t> old = message(kHeaderSize + 4, version - 1, 1, 4);
        ASSERT_EQ(send(raw, old.data(), old.size(), MSG_NOSIGNAL), static_cast<ssize_t>(old.size()));
        uint8_t answer[kHeaderSize + kAnswerPrefixSize];
        ASSERT_EQ(recv(raw, answer, sizeof answer, 0), static_cast<ssize_t>(sizeof answer));
        EXPECT_EQ(DecodeHeader(answer).id, 7u);
        EXPECT_EQ(static_cast<int32_t>(GetU32(answer + kHeaderSize)), REZEZURA_STATUS_REVISION_MISMATCH);
        EXPECT_TRUE(ClosedByPeer(raw));
        close(raw);
    }
    // Two requests under one id, the second while the first is in flight.
    {
        RawClient twice(service_->SocketPath());
        ASSERT_TRUE(twice.Attach(pair_.Near()));
        twice.Read(5, kFrameRoom);
        twice.Read(5, kFrameRoom);
        EXPECT_FALSE(twice.AnswerTo(99, std::chrono::milliseconds(5000)));
    }
    // A connection that sends a request and leaves holds nothing.
    int left = Connect(service_->SocketPath());
    std::vector<uint8_t> read = message(kHeaderSize + 4, version, 1, 4);
    PutU32(read.data() + kHeaderSize, kFrameRoom);
    send(left, read.data(), read.size(), MSG_NOSIGNAL);
    close(left);

    Frame sent = EapolFrame(station_, kPeer, 0x55);
    far_->Send(sent);
    EXPECT_EQ(Received(*reader, 2), sent);
}

TEST_F(ServiceTest, StopsCleanlyWithClientsStillConnectedAndWaiting)
{
    std::unique_ptr<RawClient> reading = Reading(2);
    RawClient waiting(service_->SocketPath());
    ASSERT_TRUE(waiting.Attach(pair_.Near()));
    waiting.Control(2, IOCTL_RELAY_WAIT_STATUS, Le32(RELAY_WAIT_MEDIA_CONNECT), 0);
    ASSERT_TRUE(waiting.Sync());

    EXPECT_EQ(service_->Stop(), 0);
    ASSERT_FALSE(service_->Lines().empty());
    EXPECT_NE(service_->Lines().back().find("every rule kept"), std::string::npos) << service_->Lines().back();
    // Cleanup of each handle ended what it had in flight.
    std::optional<RawAnswer> read = reading->AnswerTo(2);
    std::optional<RawAnswer> wait = waiting.AnswerTo(2);
    ASSERT_TRUE(read && wait);
    EXPECT_EQ(read->status, REZEZURA_STATUS_CANCELLED);
    EXPECT_EQ(wait->status, REZEZURA_STATUS_CANCELLED);
    service_.reset();
}

TEST(ServiceStart, RefusesWhatItCannotServeInOneLine)
{
    Service missing({"--adapter", "rzmissing0"});
    EXPECT_FALSE(missing.Ready());
    EXPECT_EQ(missing.Stop(), 1);
    ASSERT_EQ(missing.Lines().size(), 1u);
    EXPECT_NE(missing.Lines()[0].find("no interface named rzmissing0"), std::string::npos) << missing.Lines()[0];

    Service loopback({"--adapter", "lo"});
    EXPECT_EQ(loopback.Stop(), 1);
    ASSERT_FALSE(loopback.Lines().empty());
    EXPECT_NE(loopback.Lines()[0].find("lo is not an Ethernet interface"), std::string::npos);

    VethPair pair;
    Service first({"--adapter", pair.Near()});
    ASSERT_TRUE(first.Ready());
    std::vector<std::string> again = {REZEZURA_HOST_PATH, "--adapter", pair.Near(), "--socket", first.SocketPath()};
    EXPECT_EQ(RunProgram(again), 1);
    EXPECT_EQ(first.Stop(), 0);
}

TEST(ServiceStart, RefusesABadCommandLineInOneLineWithStatusTwo)
{
    const std::vector<std::vector<std::string>> refused = {
        {"--adapter", "rz0", "--busy-poll", "1001"},
        {"--adapter", "rz0", "--busy-poll", "-1"},
        {"--adapter", "rz0", "--busy-poll", "ten"},
        {"--adapter", "rz0", "--busy-poll"},
        {"--adapter", "rz0", "--frobnicate"},
        {},
    };
    for (const std::vector<std::string> &arguments : refused) {
        std::vector<std::string> line = {REZEZURA_HOST_PATH};
        line.insert(line.end(), arguments.begin(), arguments.end());
        Program program(line);
        EXPECT_EQ(program.Wait(), 2);
        ASSERT_EQ(program.Lines().size(), 1u) << line.back();
        EXPECT_NE(program.Lines()[0].find("--"), std::string::npos) << program.Lines()[0];
    }
}

// The socket is made with its mode (umask or not), and only in a directory
// where no other user can put a file of theirs in its place.
TEST(ServiceStart, MakesItsSocketWithItsModeOnlyInADirectoryOthersCannotWrite)
{
    VethPair pair;
    char made[] = "/tmp/rezezura-dir-XXXXXX";
    ASSERT_NE(mkdtemp(made), nullptr);
    const std::string directory = made;
    const std::string path = directory + "/control";
    ASSERT_EQ(chmod(made, 0777), 0);
    Program refused({REZEZURA_HOST_PATH, "--adapter", pair.Near(), "--socket", path});
    EXPECT_EQ(refused.Wait(), 1);
    ASSERT_EQ(refused.Lines().size(), 1u);
    EXPECT_NE(refused.Lines()[0].find("can be written by other users"), std::string::npos) << refused.Lines()[0];

    ASSERT_EQ(chmod(made, 0755), 0);
    mode_t saved = umask(077);
    Program served({REZEZURA_HOST_PATH, "--adapter", pair.Near(), "--socket", path});
    umask(saved);
    ASSERT_TRUE(served.WaitForLine("rezezura-host: serving "));
    struct stat socketFile {};
    ASSERT_EQ(lstat(path.c_str(), &socketFile), 0);
    EXPECT_TRUE(S_ISSOCK(socketFile.st_mode));
    EXPECT_EQ(socketFile.st_mode & 07777, 0666u);
    EXPECT_EQ(served.Stop(), 0);
    rmdir(made);
}

TEST(ServiceStart, RefusesAnImageItCannotRunInOneLineNamingTheCause)
{
    char path[] = "/tmp/rezezura-not-an-image-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, "not a driver", 12), 12);
    close(file);
    VethPair pair;
    Service service({"--adapter", pair.Near(), "--image", path});
    EXPECT_FALSE(service.Ready());
    EXPECT_EQ(service.Wait(), 1);
    unlink(path);
    ASSERT_EQ(service.Lines().size(), 1u);
    const std::string &line = service.Lines()[0];
    EXPECT_EQ(line.rfind("rezezura-host: the driver failed to load: rezezura-not-an-image-", 0), 0u) << line;
#if defined(__i386__)
    EXPECT_NE(line.find("(0xC000012F)"), std::string::npos) << line;  // no executable image
#else
    EXPECT_NE(line.find("32-bit x86 build"), std::string::npos) << line;
#endif
}

TEST(ServiceStart, SaysWhichDriverItRuns)
{
    VethPair pair;
    Service service({"--adapter", pair.Near()});
    ASSERT_TRUE(service.Ready());
    const char *image = std::getenv("REZEZURA_IMAGE");
    std::string expected = image != nullptr ? std::string(" with the image ") + image : " with the driver linked in";
    const std::string &serving = service.Lines().back();
    EXPECT_EQ(serving.substr(serving.size() - std::min(serving.size(), expected.size())), expected) << serving;
    EXPECT_EQ(service.Stop(), 0);
}

TEST(ServiceStart, WithAllAnInterfaceThatAppearsIsOffered)
{
    Service service({"--all"});
    ASSERT_TRUE(service.Ready());
    setenv(REZEZURA_SOCKET_VARIABLE, service.SocketPath().c_str(), 1);
    {
        VethPair pair;
        ASSERT_TRUE(service.WaitForLine("\\Device\\" + pair.Far() + ": the interface appeared"));
        RawClient raw(service.SocketPath());
        EXPECT_TRUE(raw.Attach(pair.Far()));
    }
    EXPECT_EQ(service.Stop(), 0);
    EXPECT_NE(service.Lines().back().find("every rule kept"), std::string::npos) << service.Lines().back();
}

}  // namespace
}  // namespace service_test

