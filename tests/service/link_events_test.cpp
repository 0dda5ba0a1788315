// The interfaces change under a running service: a link that goes down and
// comes back carries frames again with no client action, a renamed
// interface is the same adapter under its new name, and a new interface
// that takes an old name is a new adapter.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "client/rezezura_client.h"
#include "tests/service/raw_client.h"
#include "tests/service/service_world.h"

namespace service_test {
namespace {


// A connection attached to `interface` with a read of `id` in the driver.
std::unique_ptr<RawClient> ReadingOn(const Service &service, const std::string &interface, uint64_t id)
{
    auto raw = std::make_unique<RawClient>(service.SocketPath());
    EXPECT_EQ(raw->Greeting(), 0);
    EXPECT_TRUE(raw->Attach(interface));
    raw->Read(id, kFrameRoom);
    EXPECT_TRUE(raw->Sync());
    return raw;
}

// The frame the read of `id` returned, or nothing.
std::optional<Frame> Received(RawClient &raw, uint64_t id)
{
    std::optional<RawAnswer> answer = raw.AnswerTo(id);
    if (!answer || answer->status != 0) {
        return std::nullopt;
    }
    return answer->bytes;
}

void ExpectStoppedClean(Service &service)
{
    int status = service.Stop();
    std::string said;
    for (const std::string &line : service.Lines()) {
        said += line + "\n";
    }
    EXPECT_EQ(status, 0) << said;
    ASSERT_FALSE(service.Lines().empty());
    EXPECT_NE(service.Lines().back().find("every rule kept"), std::string::npos) << said;
}

TEST(LinkEvents, FramesFlowAgainAfterTheInterfaceWentDownAndCameBack)
{
    VethPair pair;
    Service service({"--adapter", pair.Near()});
    ASSERT_TRUE(service.Ready());
    RawPort far(pair.Far());
    const Mac station = pair.NearAddress();
    std::unique_ptr<RawClient> raw = ReadingOn(service, pair.Near(), 2);
    Frame before = EapolFrame(station, kPeer, 0x11);
    far.Send(before);
    EXPECT_EQ(Received(*raw, 2), before);

    raw->Read(3, kFrameRoom);
    ASSERT_TRUE(raw->Sync());
    LinkWatch links;
    ASSERT_EQ(RunProgram({"ip", "link", "set", pair.Near(), "down"}), 0);
    ASSERT_TRUE(service.WaitForLine("media disconnected"));
    ASSERT_EQ(RunProgram({"ip", "link", "set", pair.Near(), "up"}), 0);
    ASSERT_TRUE(service.WaitForLine("media connected"));
    ASSERT_TRUE(links.WaitForCarrier(pair.Far(), true));
    Frame after = EapolFrame(station, kPeer, 0x22);
    far.Send(after);
    EXPECT_EQ(Received(*raw, 3), after);

    RawClient writer(service.SocketPath());
    ASSERT_TRUE(writer.Attach(pair.Near()));
    Frame written = EapolFrame(kPeer, station, 0x33);
    writer.Send(rezezura::socket::MessageKind::Write, 4, written);
    std::optional<RawAnswer> wrote = writer.AnswerTo(4);
    ASSERT_TRUE(wrote);
    EXPECT_EQ(wrote->status, 0);
    EXPECT_EQ(far.Receive(0x888E), written);
    raw.reset();
    ExpectStoppedClean(service);
}

TEST(LinkEvents, ARenamedInterfaceIsTheAdapterUnderItsNewName)
{
    VethPair pair;
    Service service({"--all"});
    ASSERT_TRUE(service.Ready());
    RawPort far(pair.Far());
    const Mac station = pair.NearAddress();
    std::unique_ptr<RawClient> raw = ReadingOn(service, pair.Near(), 2);
    const std::string renamed = pair.Near() + "r";
    ASSERT_EQ(RunProgram({"ip", "link", "set", pair.Near(), "name", renamed}), 0);
    std::optional<RawAnswer> ended = raw->AnswerTo(2);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, REZEZURA_STATUS_DEVICE_REMOVED);
    ASSERT_TRUE(service.WaitForLine("\\Device\\" + renamed + ": the interface appeared"));

    RawClient gone(service.SocketPath());
    EXPECT_FALSE(gone.Attach(pair.Near()));
    std::unique_ptr<RawClient> again = ReadingOn(service, renamed, 3);
    Frame sent = EapolFrame(station, kPeer, 0x44);
    far.Send(sent);
    EXPECT_EQ(Received(*again, 3), sent);

    // A new interface under the old name is an adapter of its own.
    VethPair other;
    RawPort otherFar(other.Far());
    const Mac otherStation = other.NearAddress();
    ASSERT_EQ(RunProgram({"ip", "link", "set", other.Near(), "name", pair.Near()}), 0);
    ASSERT_TRUE(service.WaitForLine("\\Device\\" + pair.Near() + ": the interface appeared"));
    std::unique_ptr<RawClient> newcomer = ReadingOn(service, pair.Near(), 4);
    far.Send(EapolFrame(station, kPeer, 0x55));
    Frame theirs = EapolFrame(otherStation, kPeer, 0x66);
    otherFar.Send(theirs);
    EXPECT_EQ(Received(*newcomer, 4), theirs);
    EXPECT_EQ(RunProgram({"ip", "link", "del", pair.Near()}), 0);
    EXPECT_EQ(RunProgram({"ip", "link", "del", renamed}), 0);
    raw.reset();
    again.reset();
    newcomer.reset();
    ExpectStoppedClean(service);
}

// The service is held while more link changes happen than rtnetlink keeps
// for it: an interface removed, another made, a third flapping. Once it
// runs again it lists the links anew and its adapters match them.
TEST(LinkEvents, ChangesRtnetlinkDroppedAreFoundByListingTheLinksAgain)
{
    auto removed = std::make_unique<VethPair>();
    VethPair flapping;
    Service service({"--all"});
    ASSERT_TRUE(service.Ready());
    std::unique_ptr<RawClient> raw = ReadingOn(service, removed->Near(), 2);

    service.Signal(SIGSTOP);
    std::string batch = "/tmp/rezezura-flaps-" + std::to_string(getpid());
    {
        std::ofstream flaps(batch);
        for (int round = 0; round < 300; ++round) {
            flaps << "link set " << flapping.Far() << " down\nlink set " << flapping.Far() << " up\n";
        }
    }
    int flapped = RunProgram({"ip", "-batch", batch});
    unlink(batch.c_str());
    const std::string gone = removed->Near();
    removed.reset();
    VethPair added;
    service.Signal(SIGCONT);
    ASSERT_EQ(flapped, 0);

    ASSERT_TRUE(service.WaitForLine("rtnetlink dropped link changes; the adapters follow the interfaces"));
    std::optional<RawAnswer> ended = raw->AnswerTo(2);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, REZEZURA_STATUS_DEVICE_REMOVED);
    RawClient refused(service.SocketPath());
    EXPECT_FALSE(refused.Attach(gone));
    for (VethPair *pair : {&added, &flapping}) {
        RawPort far(pair->Far());
        std::unique_ptr<RawClient> reading = ReadingOn(service, pair->Near(), 3);
        Frame sent = EapolFrame(pair->NearAddress(), kPeer, 0x77);
        far.Send(sent);
        EXPECT_EQ(Received(*reading, 3), sent) << pair->Near();
    }
    raw.reset();
    ExpectStoppedClean(service);
}

}  // namespace
}  // namespace service_test
