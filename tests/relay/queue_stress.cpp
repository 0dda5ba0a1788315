// Every party of the queue discipline at once on one binding: clients queue
// reads and waits and cancel them, the receive and status paths claim them,
// handles are cleaned up and the adapter's removal flushes the queues. Each
// request must end exactly once and every count return to where it started.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "bindings/binding.h"
#include "relay/queue.h"
#include "sim/io.h"
#include "tests/support/control_device.h"
#include "tests/support/pending_requests.h"
#include "tests/support/sim_test.h"

namespace {

constexpr int kRequestsPerClient = 600;
constexpr int kClients = 2;
constexpr size_t kFiles = 3;

class PendingQueuesUnderLoad : public rztest::SimTest {};

// The requests sent so far, for the parties that pick one to cancel.
class SentRequests {
public:
    void Add(const sim::Request &request)
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(request);
    }

    std::optional<sim::Request> Pick(std::mt19937 &random)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (requests_.empty()) {
            return std::nullopt;
        }
        return requests_[std::uniform_int_distribution<size_t>(0, requests_.size() - 1)(random)];
    }

    std::vector<sim::Request> All()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return requests_;
    }

private:
    std::mutex lock_;
    std::vector<sim::Request> requests_;
};

TEST_F(PendingQueuesUnderLoad, EveryRequestEndsOnceAndTheCountsComeBack)
{
    NDIS_STRING name;
    RtlInitUnicodeString(&name, WIDE("\\Device\\{5E6B1C2A-0002}"));
    rztest::ControlDevice control;
    AdapterBinding *binding = nullptr;
    ASSERT_EQ(RelayAllocateBinding(&binding, &name, nullptr), NDIS_STATUS_SUCCESS);
    std::vector<sim::File> files;
    for (size_t i = 0; i < kFiles; ++i) {
        files.push_back(rztest::AttachFile(control.Device(), binding));
    }
    const LONG refCount = binding->RefCount;
    const PDRIVER_DISPATCH kinds[] = {rztest::QueueRead, rztest::QueueConnectWait,
                                      rztest::QueueDisconnectWait, rztest::QueueMediaSpecificWait};
    IrpQueue *const queues[] = {&binding->ReadQueue, &binding->ConnectWaitQueue,
                                &binding->DisconnectWaitQueue, &binding->MediaSpecificWaitQueue};

    SentRequests sent;
    std::atomic<int> clientsRunning{kClients};
    std::vector<std::thread> parties;
    for (int client = 0; client < kClients; ++client) {
        parties.emplace_back([&, client] {
            std::mt19937 random(client + 1);
            for (int i = 0; i < kRequestsPerClient; ++i) {
                const sim::File &file = files[random() % kFiles];
                PDRIVER_DISPATCH queue = kinds[random() % 4];
                sim::Request request = rztest::NewPendingRequest(file, queue);
                sent.Add(request);
                if (random() % 8 == 0) {
                    request.Cancel();
                }
                request.Dispatch(queue);
            }
            --clientsRunning;
        });
    }
    parties.emplace_back([&] {
        std::mt19937 random(11);
        while (clientsRunning > 0) {
            if (std::optional<sim::Request> request = sent.Pick(random)) {
                request->Cancel();
            }
        }
    });
    parties.emplace_back([&] {
        std::mt19937 random(12);
        while (clientsRunning > 0) {
            LIST_ENTRY collected;
            InitializeListHead(&collected);
            RelayCollectRequests(queues[random() % 4], binding, nullptr, &collected);
            RelayCompleteCollectedRequests(&collected, STATUS_SUCCESS);
        }
    });
    parties.emplace_back([&] {
        std::mt19937 random(13);
        while (clientsRunning > 0) {
            sim::SendRequest(IRP_MJ_CLEANUP, files[random() % kFiles], RelayDispatchCleanup);
            RelayFlushBindingRequests(binding, STATUS_DEVICE_REMOVED);
        }
    });
    for (std::thread &party : parties) {
        party.join();
    }
    RelayFlushBindingRequests(binding, STATUS_DEVICE_REMOVED);

    for (const sim::Request &request : sent.All()) {
        ASSERT_TRUE(request.WaitForCompletion());
        NTSTATUS status = request.FinalStatus().Status;
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED ||
                    status == STATUS_DEVICE_REMOVED)
            << std::hex << status;
        EXPECT_EQ(request.FinalStatus().Information, 0u);
    }
    EXPECT_EQ(sim::CompletedRequestCount(), sim::RequestCount());
    EXPECT_EQ(binding->RefCount, refCount);
    for (IrpQueue *queue : queues) {
        EXPECT_EQ(rztest::QueuedRequestCount(*queue), 0u);
    }
    for (const sim::File &file : files) {
        rztest::CloseAttachedFile(file);
    }
    EXPECT_EQ(RelayDereferenceBinding(binding), 0);
}

}  // namespace
