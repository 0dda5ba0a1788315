// A start after a service that was killed: what that service changed on an
// interface itself (the road where the kernel interface takes no
// packet-socket options) is undone before the new one serves, and only that.
#include <gtest/gtest.h>
#include <net/if.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "client/rezezura_client.h"
#include "client/socket_messages.h"
#include "tests/service/service_world.h"

namespace service_test {
namespace {

constexpr Mac kOtherGroup = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};

size_t Holds(const HeldReceiveMode &held, const Mac &address)
{
    return static_cast<size_t>(std::count(held.multicast.begin(), held.multicast.end(), address));
}

bool Exists(const std::string &path)
{
    struct stat held {};
    return lstat(path.c_str(), &held) == 0;
}

std::string Contents(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteRecord(const std::string &path, const std::string &text, mode_t mode)
{
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

// Sets the adapter's multicast list and packet filter through the library,
// as a supplicant's client would.
void AskForEverything(const std::string &socket, const std::string &adapter)
{
    setenv(REZEZURA_SOCKET_VARIABLE, socket.c_str(), 1);
    rezezura_client *client = nullptr;
    ASSERT_EQ(rezezura_open(&client).status, REZEZURA_STATUS_SUCCESS);
    std::unique_ptr<rezezura_client, void (*)(rezezura_client *)> closing(client, rezezura_close);
    ASSERT_EQ(rezezura_attach(client, adapter.c_str()).status, REZEZURA_STATUS_SUCCESS);
    uint8_t list[12];
    std::copy(kPaeGroup.begin(), kPaeGroup.end(), list);
    std::copy(kOtherGroup.begin(), kOtherGroup.end(), list + 6);
    ASSERT_EQ(rezezura_set_oid(client, REZEZURA_OID_802_3_MULTICAST_LIST, list, sizeof list).status,
              REZEZURA_STATUS_SUCCESS);
    uint32_t filter = REZEZURA_PACKET_TYPE_DIRECTED | REZEZURA_PACKET_TYPE_MULTICAST |
                      REZEZURA_PACKET_TYPE_ALL_MULTICAST | REZEZURA_PACKET_TYPE_PROMISCUOUS;
    uint8_t value[4] = {uint8_t(filter), uint8_t(filter >> 8), uint8_t(filter >> 16), uint8_t(filter >> 24)};
    ASSERT_EQ(rezezura_set_oid(client, REZEZURA_OID_GEN_CURRENT_PACKET_FILTER, value, 4).status,
              REZEZURA_STATUS_SUCCESS);
}

TEST(Restart, UndoesWhatAKilledServiceChangedOnItsInterfaceAndNothingElse)
{
    VethPair pair;
    const std::string &near = pair.Near();
    // Someone set the all-multicast flag and added a group by hand before.
    ASSERT_EQ(RunProgram({"ip", "link", "set", near, "allmulticast", "on"}), 0);
    ASSERT_EQ(RunProgram({"ip", "maddress", "add", "01:80:c2:00:00:0e", "dev", near}), 0);
    const std::string socket = FreshSocketPath();
    const std::string record = socket + ".changes";

    auto killed = std::make_unique<Service>(socket, std::vector<std::string>{"--adapter", near, "--no-packet-options"});
    ASSERT_TRUE(killed->Ready()) << (killed->Lines().empty() ? "no line" : killed->Lines().back());
    AskForEverything(socket, near);
    HeldReceiveMode joined = HeldBy(near);
    EXPECT_EQ(joined.promiscuity, 1);
    EXPECT_EQ(joined.allMulticast, 1);
    EXPECT_EQ(Holds(joined, kPaeGroup), 1u);
    EXPECT_EQ(Holds(joined, kOtherGroup), 1u);
    struct stat recorded {};
    ASSERT_EQ(stat(record.c_str(), &recorded), 0);
    EXPECT_EQ(recorded.st_mode & 07777, 0600u);
    EXPECT_NE(Contents(record).find("promiscuous "), std::string::npos);

    killed->Signal(SIGKILL);
    EXPECT_EQ(killed->Wait(), -1);
    HeldReceiveMode left = HeldBy(near);
    EXPECT_EQ(left.promiscuity, 1);
    EXPECT_EQ(Holds(left, kPaeGroup), 1u);

    Service restarted(socket, {"--adapter", near, "--no-packet-options"});
    ASSERT_TRUE(restarted.Ready()) << (restarted.Lines().empty() ? "no line" : restarted.Lines().back());
    ASSERT_TRUE(restarted.WaitForLine("did not stop left changes on its interfaces; undid "));
    const std::string said = *std::find_if(restarted.Lines().begin(), restarted.Lines().end(),
                                           [](const std::string &line) { return line.find("undid") != std::string::npos; });
    EXPECT_NE(said.find("promiscuous on " + near), std::string::npos) << said;
    EXPECT_NE(said.find("multicast 01:80:c2:00:00:03 on " + near), std::string::npos) << said;
    EXPECT_EQ(said.find("all-multicast"), std::string::npos) << said;
    EXPECT_EQ(said.find("01:80:c2:00:00:0e"), std::string::npos) << said;
    EXPECT_EQ(said.find("no longer in place"), std::string::npos) << said;
    EXPECT_EQ(said.find("could not undo"), std::string::npos) << said;
    HeldReceiveMode after = HeldBy(near);
    EXPECT_EQ(after.promiscuity, 0);
    EXPECT_EQ(after.allMulticast, 1);
    EXPECT_EQ(Holds(after, kPaeGroup), 0u);
    EXPECT_EQ(Holds(after, kOtherGroup), 1u);
    EXPECT_FALSE(Exists(record));

    // The new one records its own changes, and a clean stop undoes them and
    // takes the record with them.
    AskForEverything(socket, near);
    EXPECT_TRUE(Exists(record));
    EXPECT_EQ(HeldBy(near).promiscuity, 1);
    EXPECT_EQ(restarted.Stop(), 0);
    EXPECT_FALSE(Exists(record));
    HeldReceiveMode stopped = HeldBy(near);
    EXPECT_EQ(stopped.promiscuity, 0);
    EXPECT_EQ(stopped.allMulticast, 1);
    EXPECT_EQ(Holds(stopped, kPaeGroup), 0u);
    EXPECT_EQ(Holds(stopped, kOtherGroup), 1u);
}

// A change recorded on an interface that has another name now, or whose flag
// someone cleared meanwhile, is not the record's to undo.
TEST(Restart, LeavesWhatIsNoLongerAsRecorded)
{
    VethPair pair;
    const std::string &near = pair.Near();
    const int index = static_cast<int>(if_nametoindex(near.c_str()));
    ASSERT_EQ(RunProgram({"ip", "link", "set", near, "promisc", "on"}), 0);
    const std::string socket = FreshSocketPath();
    const std::string record = socket + ".changes";
    WriteRecord(record,
                "promiscuous " + std::to_string(index) + " another0\nall-multicast " + std::to_string(index) + " " +
                    near + "\n",
                0600);

    Service restarted(socket, {"--adapter", near});
    ASSERT_TRUE(restarted.Ready());
    EXPECT_TRUE(restarted.WaitForLine("undid none; no longer in place: promiscuous on another0, all-multicast on " +
                                      near));
    EXPECT_EQ(HeldBy(near).promiscuity, 1);
    EXPECT_FALSE(Exists(record));
    EXPECT_EQ(restarted.Stop(), 0);
}

// A record that cannot be trusted or read is one line and exit status 1,
// and stays for a person to look at.
TEST(Restart, RefusesARecordItCannotUseAndLeavesIt)
{
    VethPair pair;
    struct Case {
        const char *what;
        std::string text;
        mode_t mode;
        const char *said;
    };
    const Case cases[] = {
        {"a line of no change", "promiscuous 3 eth0\nlouder 3 eth0\n", 0600, "line 2 is no change"},
        {"a multicast address cut short", "multicast 3 eth0 01:80:c2:00\n", 0600, "line 1 is no change"},
        {"an index out of range", "promiscuous 99999999999 eth0\n", 0600, "line 1 is no change"},
        {"a last line cut short", "promiscuous 3 eth0", 0600, "line 1 is cut short"},
        {"a record others may write", "promiscuous 3 eth0\n", 0666, "not this user's alone"},
    };
    for (const Case &bad : cases) {
        SCOPED_TRACE(bad.what);
        const std::string socket = FreshSocketPath();
        const std::string record = socket + ".changes";
        WriteRecord(record, bad.text, bad.mode);
        Service refused(socket, {"--adapter", pair.Near()});
        EXPECT_FALSE(refused.Ready());
        EXPECT_EQ(refused.Wait(), 1);
        ASSERT_FALSE(refused.Lines().empty());
        const std::string &line = refused.Lines().back();
        EXPECT_EQ(line.find("rezezura-host: cannot use the record " + record), 0u) << line;
        EXPECT_NE(line.find(bad.said), std::string::npos) << line;
        EXPECT_EQ(Contents(record), bad.text);
        unlink(record.c_str());
    }
}

}  // namespace
}  // namespace service_test
