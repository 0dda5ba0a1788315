// Real threads racing on one binding: adapters indicating media statuses
// while clients queue waits, cancel them and clean their handles up; and
// attaches racing on one file. Every request must end exactly once, with an
// answer from its own queue or as cancelled, and every reference come back.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "tests/support/control_fixture.h"

namespace {

using rztest::ControlClient;

class ControlStress : public rztest::ControlTest {};

constexpr NDIS_STATUS kMedia[] = {NDIS_STATUS_MEDIA_CONNECT, NDIS_STATUS_MEDIA_DISCONNECT,
                                  NDIS_STATUS_MEDIA_SPECIFIC_INDICATION};

// An indication's buffer tells which status it came with: its bytes count up
// from the status's low byte.
std::vector<uint8_t> BufferOf(NDIS_STATUS status, size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>((status & 0xFF) + i);
    }
    return bytes;
}

struct Issued {
    sim::ControlRequest request;
    NDIS_STATUS awaited;
    ULONG outputLength;
};

// Waits on one client, every third cancelled by the caller as soon as it is queued.
std::vector<Issued> IssueWaits(ControlClient &client, unsigned count, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<Issued> issued;
    for (unsigned i = 0; i < count; ++i) {
        NDIS_STATUS awaited = kMedia[random() % 3];
        ULONG outputLength = random() % 10;
        issued.push_back(Issued{client.Wait(awaited, outputLength), awaited, outputLength});
        if (i % 3 == 0) {
            issued.back().request.Cancel();
        }
    }
    return issued;
}

// Ends of the waits over all rounds: answered by an indication, or cancelled.
struct Tally {
    unsigned answered = 0;
    unsigned cancelled = 0;
};

void ExpectEndedProperly(const Issued &wait, Tally &tally)
{
    ASSERT_TRUE(wait.request.Completed());
    IO_STATUS_BLOCK result = wait.request.FinalStatus();
    if (result.Status == STATUS_CANCELLED) {
        ++tally.cancelled;
        EXPECT_EQ(result.Information, 0u);
        return;
    }
    ASSERT_TRUE(result.Status == STATUS_SUCCESS || result.Status == STATUS_BUFFER_OVERFLOW)
        << std::hex << result.Status;
    ++tally.answered;
    ASSERT_LE(result.Information, wait.outputLength);
    std::vector<uint8_t> returned = wait.request.Returned();
    EXPECT_EQ(returned, BufferOf(wait.awaited, returned.size()));
    // Only a copy that filled the whole output can have been cut.
    if (result.Status == STATUS_BUFFER_OVERFLOW) {
        EXPECT_EQ(result.Information, wait.outputLength);
    }
}

TEST_F(ControlStress, IndicationsRaceWaitsCancelsAndCleanups)
{
    LONG baseline = Binding()->RefCount;
    Tally tally;
    for (unsigned round = 0; round < 60; ++round) {
        ControlClient &first = AttachedClient();
        ControlClient &second = AttachedClient();
        std::vector<Issued> firstWaits;
        std::vector<Issued> secondWaits;
        std::atomic<int> waitersDone{0};

        std::thread firstWaiter([&] {
            firstWaits = IssueWaits(first, 30, round);
            ++waitersDone;
        });
        std::thread secondWaiter([&] {
            secondWaits = IssueWaits(second, 30, round + 1000);
            ++waitersDone;
        });
        std::vector<std::thread> indicators;
        for (unsigned t = 0; t < 2; ++t) {
            indicators.emplace_back([&, t] {
                std::mt19937 random(round * 7 + t);
                for (unsigned i = 0; i < 5000 && waitersDone < 2; ++i) {
                    NDIS_STATUS status = kMedia[random() % 3];
                    Nic().IndicateStatus(status, BufferOf(status, random() % 8));
                }
            });
        }
        std::thread cleaner([&] { first.Cleanup(); });

        firstWaiter.join();
        secondWaiter.join();
        cleaner.join();
        for (std::thread &indicator : indicators) {
            indicator.join();
        }
        // Waits queued after their handle's cleanup stay until cancelled.
        second.Cleanup();
        for (const std::vector<Issued> *waits : {&firstWaits, &secondWaits}) {
            for (const Issued &wait : *waits) {
                wait.request.Cancel();
                ExpectEndedProperly(wait, tally);
            }
        }
        first.Close();
        second.Close();
        ASSERT_EQ(Binding()->RefCount, baseline) << "round " << round;
    }
    // Both ends were reached while the parties overlapped.
    EXPECT_GT(tally.answered, 0u);
    EXPECT_GT(tally.cancelled, 0u);
}

TEST_F(ControlStress, AttachesRacingOnOneFileLeaveExactlyOneAttachment)
{
    sim::Adapter second = AddAdapter(u"\\Device\\{SIM-NIC-1}");
    LONG firstBaseline = Binding()->RefCount;
    LONG secondBaseline = BindingOf(second)->RefCount;
    for (unsigned round = 0; round < 200; ++round) {
        ControlClient &client = NewClient();
        NTSTATUS results[2] = {};
        std::thread one([&] { results[0] = client.Attach(Nic().Name()).FinalStatus().Status; });
        std::thread other([&] { results[1] = client.Attach(second.Name()).FinalStatus().Status; });
        one.join();
        other.join();
        ASSERT_EQ((results[0] == STATUS_SUCCESS) + (results[1] == STATUS_SUCCESS), 1);
        ASSERT_TRUE(results[0] == STATUS_DEVICE_ALREADY_ATTACHED || results[1] == STATUS_DEVICE_ALREADY_ATTACHED);
        AdapterBinding *winner = results[0] == STATUS_SUCCESS ? Binding() : BindingOf(second);
        ASSERT_EQ(client.File().Object()->FsContext, winner);
        ASSERT_EQ(Binding()->RefCount + BindingOf(second)->RefCount, firstBaseline + secondBaseline + 1);
        client.Cleanup();
        client.Close();
    }
    EXPECT_EQ(Binding()->RefCount, firstBaseline);
    EXPECT_EQ(BindingOf(second)->RefCount, secondBaseline);
}

}  // namespace
