// An adapter whose bind or unbind the driver has not finished holds up no
// one else: while the stack's thread is stopped inside it, a client on
// another adapter is answered and gets its frames; once it goes on, the
// adapter is bound and serves, or is gone. A bind that takes longer than the
// service waits is said in one line and the adapter withdrawn.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "client/rezezura_client.h"
#include "sim/faults.h"
#include "sim/hooks.h"
#include "tests/service/in_process_service.h"
#include "tests/service/raw_client.h"
#include "tests/service/service_world.h"
#include "tests/support/gate.h"

namespace service_test {
namespace {

using namespace std::chrono_literals;


// The limit of the tests whose held move is to run out of time: long enough
// that the moves it does not hold finish within it on a loaded machine.
constexpr std::chrono::milliseconds kShortMoveLimit = 1000ms;

class AdapterMoves : public ::testing::Test {
protected:
    void Start(std::chrono::milliseconds moveLimit = 10s)
    {
        host::Options options;
        options.adapters = {served_.Near(), moving_.Near()};
        options.moveLimit = moveLimit;
        service_ = std::make_unique<InProcessService>(options);
        ASSERT_TRUE(service_->Ready());
    }

    // The next thread of any party to reach `point` stops there until Release.
    void HoldAt(const std::string &point)
    {
        sim::SetHook(point, [this] {
            reached_.Open();
            resume_.Wait();
        });
        held_ = true;
    }

    void Release()
    {
        if (held_) {
            resume_.Open();
            held_ = false;
        }
    }

    void TearDown() override
    {
        Release();
        if (!service_) {
            return;
        }
        EXPECT_EQ(service_->Stop(), 0);
        ASSERT_FALSE(service_->Lines().empty());
        EXPECT_NE(service_->Lines().back().find("every rule kept"), std::string::npos) << service_->Lines().back();
    }

    // A client on the pair's near end is answered, and reads a frame sent to
    // its address.
    void ExpectReads(const VethPair &pair, uint8_t marker)
    {
        RawClient raw(service_->SocketPath());
        ASSERT_TRUE(raw.Attach(pair.Near()));
        raw.Read(2, kFrameRoom);
        ASSERT_TRUE(raw.Sync());
        Frame sent = EapolFrame(pair.NearAddress(), kPeer, marker);
        RawPort(pair.Far()).Send(sent);
        std::optional<RawAnswer> answer = raw.AnswerTo(2);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 0);
        EXPECT_EQ(answer->bytes, sent);
    }

    // The adapter nobody holds serves.
    void ExpectServed(uint8_t marker) { ExpectReads(served_, marker); }

    // The moving adapter serves.
    void ExpectMovingServes(uint8_t marker) { ExpectReads(moving_, marker); }

    VethPair served_;
    VethPair moving_;
    std::unique_ptr<InProcessService> service_;
    rztest::Gate reached_;
    rztest::Gate resume_;
    bool held_ = false;
};

TEST_F(AdapterMoves, AClientIsServedWhileAnotherAdaptersBindIsHeld)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    // A new address: the adapter is unbound and bound again, that bind held.
    HoldAt("NdisCompleteBindAdapter");
    ASSERT_EQ(RunProgram({"ip", "link", "set", moving_.Near(), "address", "02:5a:00:00:00:27"}), 0);
    ASSERT_TRUE(reached_.Wait());
    ASSERT_NO_FATAL_FAILURE(ExpectServed(0x11));
    ASSERT_NO_FATAL_FAILURE(ExpectServed(0x12));
    EXPECT_FALSE(service_->WaitForLine("bound it again", 0ms));

    Release();
    ASSERT_TRUE(service_->WaitForLine("\\Device\\" + moving_.Near() + ": the interface's address changed; the driver unbound it and bound it again"));
    ASSERT_NO_FATAL_FAILURE(ExpectMovingServes(0x13));
}

TEST_F(AdapterMoves, AClientIsServedWhileAnotherAdaptersUnbindIsHeld)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    RawClient reader(service_->SocketPath());
    ASSERT_TRUE(reader.Attach(moving_.Near()));
    reader.Read(2, kFrameRoom);
    ASSERT_TRUE(reader.Sync());
    HoldAt("NdisCompleteUnbindAdapter");
    const std::string gone = moving_.Near();
    ASSERT_EQ(RunProgram({"ip", "link", "del", gone}), 0);
    ASSERT_TRUE(reached_.Wait());
    ASSERT_NO_FATAL_FAILURE(ExpectServed(0x21));
    EXPECT_FALSE(service_->WaitForLine("the driver unbound it", 0ms));

    Release();
    ASSERT_TRUE(service_->WaitForLine("\\Device\\" + gone + ": the interface is gone; the driver unbound it"));
    std::optional<RawAnswer> ended = reader.AnswerTo(2);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, REZEZURA_STATUS_DEVICE_REMOVED);
    RawClient late(service_->SocketPath());
    EXPECT_FALSE(late.Attach(gone));
    ASSERT_NO_FATAL_FAILURE(ExpectServed(0x22));
}

TEST_F(AdapterMoves, ABindLongerThanTheServiceWaitsIsSaidAndTheAdapterWithdrawn)
{
    ASSERT_NO_FATAL_FAILURE(Start(kShortMoveLimit));
    HoldAt("NdisCompleteBindAdapter");
    ASSERT_EQ(RunProgram({"ip", "link", "set", moving_.Near(), "address", "02:5a:00:00:00:28"}), 0);
    ASSERT_TRUE(reached_.Wait());
    ASSERT_TRUE(service_->WaitForLine("the driver did not finish binding \\Device\\" + moving_.Near() +
                                      " within 1000 ms; the adapter is withdrawn"));
    ASSERT_NO_FATAL_FAILURE(ExpectServed(0x31));
    // The stack unbinds it once its bind completed after all.
    Release();
    ASSERT_TRUE(service_->WaitForLine("\\Device\\" + moving_.Near() + ": the bind did not finish in time; the driver unbound it"));
    RawClient late(service_->SocketPath());
    EXPECT_FALSE(late.Attach(moving_.Near()));
}

// An unbind that never finishes in time: the new address's bind follows,
// and no line says the old one was unbound.
TEST_F(AdapterMoves, AnAddressChangeWhoseUnbindIsLateSaysSoAndBindsAnew)
{
    ASSERT_NO_FATAL_FAILURE(Start(kShortMoveLimit));
    HoldAt("NdisCompleteUnbindAdapter");
    ASSERT_EQ(RunProgram({"ip", "link", "set", moving_.Near(), "address", "02:5a:00:00:00:2b"}), 0);
    ASSERT_TRUE(reached_.Wait());
    const std::string device = "\\Device\\" + moving_.Near() + ": the interface's address changed; ";
    ASSERT_TRUE(service_->WaitForLine(device + "the driver did not finish unbinding it"));
    ASSERT_TRUE(service_->WaitForLine(device + "the driver bound it anew"));
    EXPECT_FALSE(service_->WaitForLine("unbound it and bound it again", 0ms));
    ASSERT_NO_FATAL_FAILURE(ExpectServed(0x35));
    Release();
}

// The interface goes while its bind is held: the removal waits for the bind
// and follows it, in the order the changes came.
TEST_F(AdapterMoves, AnInterfaceRemovedWhileBindingIsUnboundOnceBound)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    HoldAt("NdisCompleteBindAdapter");
    const std::string gone = moving_.Near();
    ASSERT_EQ(RunProgram({"ip", "link", "set", gone, "address", "02:5a:00:00:00:29"}), 0);
    ASSERT_TRUE(reached_.Wait());
    ASSERT_EQ(RunProgram({"ip", "link", "del", gone}), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectServed(0x41));

    Release();
    const std::string device = "\\Device\\" + gone + ": ";
    ASSERT_TRUE(service_->WaitForLine(device + "the interface's address changed; the driver unbound it and bound it again"));
    const size_t bound = service_->Lines().size() - 1;
    ASSERT_TRUE(service_->WaitForLine(device + "the interface is gone; the driver unbound it", kLimit, bound));
    RawClient late(service_->SocketPath());
    EXPECT_FALSE(late.Attach(gone));
}

// The driver refuses the adapter's new bind (its open of the adapter fails):
// one line, and the other adapter serves on.
TEST_F(AdapterMoves, ABindTheDriverRefusesIsOneLineAndTheOthersServeOn)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    sim::faults::FailNth("NdisOpenAdapter", 1);
    ASSERT_EQ(RunProgram({"ip", "link", "set", moving_.Near(), "address", "02:5a:00:00:00:2a"}), 0);
    ASSERT_TRUE(service_->WaitForLine("the driver refused \\Device\\" + moving_.Near() + " with NDIS status 0x"));
    ASSERT_NO_FATAL_FAILURE(ExpectServed(0x51));
    RawClient late(service_->SocketPath());
    EXPECT_FALSE(late.Attach(moving_.Near()));
}

}  // namespace
}  // namespace service_test
