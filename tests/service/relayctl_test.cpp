// relayctl on rezezura-host: the bridge's TAP with the adapter's address,
// its frames out through the driver, its end on SIGTERM and on the
// adapter's removal; capture's pcap file.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>

#include "client/rezezura_client.h"
#include "tests/service/service_world.h"

namespace service_test {
namespace {

class RelayctlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        service_ = std::make_unique<Service>(std::vector<std::string>{"--adapter", pair_.Near()});
        ASSERT_TRUE(service_->Ready());
        setenv(REZEZURA_SOCKET_VARIABLE, service_->SocketPath().c_str(), 1);
    }

    void TearDown() override
    {
        EXPECT_EQ(service_->Stop(), 0);
        EXPECT_NE(service_->Lines().back().find("every rule kept"), std::string::npos) << service_->Lines().back();
    }

    VethPair pair_;
    std::unique_ptr<Service> service_;
};

TEST_F(RelayctlTest, BridgeGivesTheTapTheStationAddressAndSendsItsEapolOut)
{
    Program bridge({RELAYCTL_PATH, "bridge", pair_.Near(), "rzbr0"});
    ASSERT_TRUE(bridge.WaitForLine("bridging " + pair_.Near() + " <-> rzbr0"));
    Mac station = pair_.NearAddress();
    EXPECT_EQ(VethPair::AddressOf("rzbr0"), station);

    RawPort tap("rzbr0");
    RawPort far(pair_.Far());
    Frame start = EapolFrame(kPaeGroup, station, 0x66);
    tap.Send(start);
    EXPECT_EQ(far.Receive(0x888E), start);
    EXPECT_EQ(bridge.Stop(), 0);
}

TEST_F(RelayctlTest, BridgeEndsWhenTheAdapterGoesAway)
{
    Program bridge({RELAYCTL_PATH, "bridge", pair_.Near(), "rzbr1"});
    ASSERT_TRUE(bridge.WaitForLine("bridging"));
    ASSERT_EQ(RunProgram({"ip", "link", "del", pair_.Near()}), 0);
    EXPECT_EQ(bridge.Wait(), 1);
}

TEST_F(RelayctlTest, CaptureWritesAPcapFileThatLibpcapOpens)
{
    std::string path = FreshSocketPath() + ".pcap";
    Program capture({RELAYCTL_PATH, "capture", pair_.Near(), path, "--timeout", "1"});
    EXPECT_EQ(capture.Wait(), 0);
    char error[PCAP_ERRBUF_SIZE];
    pcap_t *file = pcap_open_offline(path.c_str(), error);
    ASSERT_NE(file, nullptr) << error;
    EXPECT_EQ(pcap_datalink(file), DLT_EN10MB);
    pcap_close(file);
    std::remove(path.c_str());

    Program short_of_frames({RELAYCTL_PATH, "capture", pair_.Near(), path, "--count", "1", "--timeout", "1"});
    EXPECT_EQ(short_of_frames.Wait(), 1);
    EXPECT_TRUE(short_of_frames.WaitForLine("only 0 of 1 frames came in time"));
    std::remove(path.c_str());
}

// A stop ends a run of reads wherever it lands: during a read, or between
// two, while relayctl prints a frame and before its next read is in flight.
// Frames keep coming so that the stops land all over the loop.
TEST_F(RelayctlTest, AStopEndsARunOfReadsWhereverItLands)
{
    RawPort far(pair_.Far());
    Frame frame = EapolFrame(pair_.NearAddress(), kPeer, 0x67);
    for (int run = 0; run < 20; ++run) {
        Program reader({RELAYCTL_PATH, "read", pair_.Near(), "--count", "0"});
        // The first frame may come before relayctl's first read is in the
        // driver, which keeps no frame for a client not reading: resend.
        bool reading = false;
        for (int tries = 0; tries < 250 && !reading; ++tries) {
            far.Send(frame);
            reading = reader.WaitForLine("frame 1", std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(reading) << "run " << run;
        for (int sent = 0; sent < 50 * run; ++sent) {
            far.Send(frame);
        }
        EXPECT_EQ(reader.Stop(), 0) << "run " << run;
    }
}

TEST_F(RelayctlTest, BridgeNeverAdoptsAnInterfaceThatExists)
{
    ASSERT_EQ(RunProgram({"ip", "tuntap", "add", "dev", "rzbr2", "mode", "tap"}), 0);
    Program bridge({RELAYCTL_PATH, "bridge", pair_.Near(), "rzbr2"});
    EXPECT_EQ(bridge.Wait(), 1);
    EXPECT_TRUE(bridge.WaitForLine("rzbr2 exists already"));
    EXPECT_EQ(RunProgram({"ip", "link", "del", "rzbr2"}), 0);
}

}  // namespace
// A bad command line is one line on stderr saying what to do, and status 2.
TEST(RelayctlCommandLine, IsRefusedInOneLineThatSaysWhatToDo)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string line;
    };
    const Case cases[] = {
        {{"read"}, "relayctl: usage: relayctl read <adapter> [--count N] [--length BYTES] [--timeout SECONDS]"},
        {{"read", "eth0", "--count", "many"}, "relayctl: usage: relayctl read <adapter>"},
        {{"read", "eth0", "--count"}, "relayctl: usage: relayctl read <adapter>"},
        {{"list", "eth0"}, "relayctl: usage: relayctl list"},
        {{"frob"}, "relayctl: no command \"frob\"; relayctl --help lists them"},
        {{}, "relayctl: no command given; relayctl --help lists them"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> arguments = {RELAYCTL_PATH};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        Program relayctl(arguments);
        EXPECT_EQ(relayctl.Wait(), 2);
        ASSERT_EQ(relayctl.Lines().size(), 1u) << c.line;
        EXPECT_EQ(relayctl.Lines()[0].rfind(c.line, 0), 0u) << relayctl.Lines()[0];
    }
    Program help({RELAYCTL_PATH, "--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_GT(help.Lines().size(), 20u);
}

}  // namespace service_test
