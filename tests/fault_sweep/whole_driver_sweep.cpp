// The fault sweep: each whole-driver scenario runs once to count the platform
// calls that may fail on its road, then once per call with just that one
// failing. Every run must end with nothing broken: no verifier finding, no
// block left, every request completed exactly once, and every request the
// client made answered with either success and the right result or a
// failure status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "control/relay_ioctl.h"
#include "core/driver.h"
#include "sim/client.h"
#include "sim/direct_io.h"
#include "sim/driver.h"
#include "sim/faults.h"
#include "sim/io.h"
#include "sim/ndis.h"
#include "sim/world.h"
#include "tests/support/control_client.h"
#include "tests/support/rezezura_load.h"
#include "tests/support/secure_creation.h"
#include "tests/support/sim_test.h"

namespace {

using Frame = std::vector<uint8_t>;

constexpr char16_t kDevicePath[] = u"\\\\.\\rezezura";
const Frame kStationAddress = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};

Frame EapolFrame(size_t length)
{
    Frame frame(length, 0x5A);
    std::copy(kStationAddress.begin(), kStationAddress.end(), frame.begin());
    frame[12] = 0x88;
    frame[13] = 0x8E;
    return frame;
}

// A status that says the operation failed: negative, as NT_SUCCESS reads it.
bool IsFailure(NTSTATUS status)
{
    return !NT_SUCCESS(status);
}

// One run of a scenario: the driver, the client's handles and requests, and
// whatever the client saw that it should not have.
class Run {
public:
    ~Run()
    {
        for (const sim::ClientHandle &handle : handles_) {
            handle.Close();
        }
        sim::WaitForDeferredCloses();
        if (loaded_) {
            driver_.Stop();
        }
    }

    bool Load()
    {
        NTSTATUS status = rztest::LoadRezezura(&driver_);
        loaded_ = NT_SUCCESS(status);
        Expect(loaded_ || IsFailure(status), "the load reported " + Hex(status));
        return loaded_;
    }

    bool Stop()
    {
        loaded_ = false;
        return driver_.Stop();
    }

    // A handle attached to the adapter; false when the client was refused.
    bool Attach(const sim::Adapter &adapter, sim::ClientHandle *handle)
    {
        NTSTATUS open = sim::ClientHandle::Open(kDevicePath, sim::Account::Administrator,
                                                GENERIC_READ | GENERIC_WRITE, handle);
        if (!NT_SUCCESS(open)) {
            Expect(IsFailure(open), "the open reported " + Hex(open));
            return false;
        }
        handles_.push_back(*handle);
        return Succeeded(Track(handle->Control(IOCTL_RELAY_OPEN_ADAPTER, rztest::Bytes(adapter.Name()), 0)));
    }

    template <typename R>
    R Track(R request)
    {
        requests_.push_back(request);
        return request;
    }

    // Waits for the request; true when it succeeded, after checking that a
    // failure is a clear one.
    bool Succeeded(const sim::Request &request)
    {
        if (!request.WaitForCompletion()) {
            Expect(false, "a request never completed");
            return false;
        }
        IO_STATUS_BLOCK result = request.FinalStatus();
        if (NT_SUCCESS(result.Status)) {
            return true;
        }
        Expect(IsFailure(result.Status) && result.Information == 0,
               "a request failed with " + Hex(result.Status) + " and Information " +
                   std::to_string(result.Information));
        return false;
    }

    void Expect(bool condition, const std::string &what)
    {
        if (!condition) {
            problems_.push_back(what);
        }
    }

    // What went wrong, once every request had its chance to complete.
    std::vector<std::string> Problems()
    {
        for (const sim::Request &request : requests_) {
            if (request.Dispatched() && !request.WaitForCompletion()) {
                problems_.push_back("a request was never completed");
            }
        }
        return problems_;
    }

    static std::string Hex(NTSTATUS status)
    {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
        return text;
    }

private:
    sim::Driver driver_;
    bool loaded_ = false;
    std::vector<sim::ClientHandle> handles_;
    std::vector<sim::Request> requests_;
    std::vector<std::string> problems_;
};

sim::Adapter NewAdapter()
{
    sim::AdapterConfig config;
    config.name = u"\\Device\\{NIC}";
    config.stationAddress = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
    return sim::AddAdapter(config);
}

Frame OidInput(NDIS_OID oid, const Frame &value = {})
{
    Frame input = rztest::Bytes(static_cast<ULONG>(oid));
    input.insert(input.end(), value.begin(), value.end());
    return input;
}

void LoadAndStop(Run &run)
{
    NewAdapter();
    if (run.Load()) {
        run.Stop();
    }
}

void BindAfterLoad(Run &run)
{
    if (!run.Load()) {
        return;
    }
    sim::Adapter nic = NewAdapter();
    sim::ClientHandle handle;
    run.Attach(nic, &handle);
}

// Reads, writes, queries, sets and waits on an attached handle, with the
// adapter's frames and indications meeting them.
void Traffic(Run &run)
{
    sim::Adapter nic = NewAdapter();
    sim::ClientHandle handle;
    if (!run.Load() || !run.Attach(nic, &handle)) {
        return;
    }
    // The frame comes whole, then with part of it left for a transfer, then
    // as a packet; a read that meets none of them is cancelled.
    Frame frame = EapolFrame(64);
    sim::Request wait = run.Track(handle.Control(IOCTL_RELAY_WAIT_STATUS, rztest::Bytes(NDIS_STATUS_MEDIA_CONNECT), 8));
    std::vector<sim::Request> reads;
    const std::function<void()> indications[] = {
        [&] { nic.IndicateReceive(frame); },
        [&] { nic.IndicateReceive(frame, sim::ReceiveShape{.lookahead = 20}); },
        [&] { nic.IndicatePacket(frame); },
    };
    for (const std::function<void()> &indicate : indications) {
        reads.push_back(run.Track(handle.Read(1514)));
        indicate();
    }
    nic.IndicateStatus(NDIS_STATUS_MEDIA_CONNECT);
    handle.CancelIo();
    for (const sim::Request &read : reads) {
        if (run.Succeeded(read)) {
            Frame bytes = sim::CallerBytes(read);
            bytes.resize(read.FinalStatus().Information);
            run.Expect(bytes == frame, "a read returned other bytes than the frame");
        }
    }
    run.Succeeded(wait);

    Frame outgoing = EapolFrame(60);
    size_t sentBefore = nic.SentFrames().size();
    sim::Request write = run.Track(handle.Write(outgoing));
    if (run.Succeeded(write)) {
        run.Expect(nic.SentFrames().size() == sentBefore + 1 && nic.SentFrames().back() == outgoing,
                   "a write succeeded without its frame on the wire");
    }
    sim::ControlRequest query = run.Track(handle.Control(IOCTL_RELAY_QUERY_OID, OidInput(OID_802_3_CURRENT_ADDRESS), 6));
    if (run.Succeeded(query)) {
        run.Expect(query.Returned() == kStationAddress, "a query succeeded with another address");
    }
    run.Succeeded(run.Track(handle.Control(IOCTL_RELAY_SET_OID, OidInput(OID_GEN_CURRENT_PACKET_FILTER, rztest::Bytes(1u)), 0)));
}

void UnbindUnderRequests(Run &run)
{
    sim::Adapter nic = NewAdapter();
    sim::ClientHandle handle;
    if (!run.Load() || !run.Attach(nic, &handle)) {
        return;
    }
    sim::Request read = run.Track(handle.Read(1514));
    sim::Request wait = run.Track(handle.Control(IOCTL_RELAY_WAIT_STATUS, rztest::Bytes(NDIS_STATUS_MEDIA_DISCONNECT), 8));
    run.Expect(nic.Remove(), "the adapter's unbind did not complete");
    run.Expect(!run.Succeeded(read) && !run.Succeeded(wait), "a request outlived its binding with success");
}

void UnloadWithAHandleOpen(Run &run)
{
    sim::Adapter nic = NewAdapter();
    sim::ClientHandle handle;
    if (!run.Load() || !run.Attach(nic, &handle)) {
        return;
    }
    sim::Request read = run.Track(handle.Read(1514));
    run.Stop();
    run.Expect(!run.Succeeded(read), "a read outlived the unbind with success");
    handle.Close();
}

// A read's bytes are the frame's first ones, as many as it had room for.
void ExpectFramePrefix(Run &run, const sim::Request &read, const Frame &frame)
{
    Frame bytes = sim::CallerBytes(read);
    size_t length = read.FinalStatus().Information;
    run.Expect(length <= frame.size() && length <= bytes.size() &&
                   std::equal(bytes.begin(), bytes.begin() + length, frame.begin()),
               "a read returned other bytes than the frame's");
}

// The adapter finishes its open, transfers, sends and close later, each from
// the test's hand; whatever the failing call broke, the adapter then goes.
void PendedAdapterWork(Run &run)
{
    if (!run.Load()) {
        return;
    }
    sim::AdapterConfig config;
    config.name = u"\\Device\\{NIC}";
    config.stationAddress = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};
    sim::Adapter nic = sim::CreateAdapter(config);
    nic.SetOpenCompletion(sim::Completion::Pended);
    nic.SetCloseCompletion(sim::Completion::Pended);
    nic.SetSendCompletion({.pended = true});
    nic.SetTransferCompletion({.pended = true});
    nic.Arrive();
    nic.CompletePendedOpen();
    sim::ClientHandle handle;
    if (run.Attach(nic, &handle)) {
        Frame frame = EapolFrame(90);
        sim::Request read = run.Track(handle.Read(1514));
        nic.IndicateReceive(frame, sim::ReceiveShape{.lookahead = 10});
        nic.CompletePendedTransfer();
        sim::Request write = run.Track(handle.Write(EapolFrame(60)));
        nic.CompletePendedSend();
        handle.CancelIo();
        if (run.Succeeded(read)) {
            ExpectFramePrefix(run, read, frame);
        }
        run.Succeeded(write);
    }
    nic.BeginRemove();
    while (nic.CompletePendedClose()) {
    }
    run.Expect(nic.WaitRemoved(sim::kWaitLimit), "the adapter's unbind did not complete");
}

// Packets the miniport needs back at once are copied, from buffers mapped or
// not yet mapped, for reads with room for all of the frame or only its start.
void PacketsTheMiniportNeedsBack(Run &run)
{
    sim::Adapter nic = NewAdapter();
    sim::ClientHandle handle;
    if (!run.Load() || !run.Attach(nic, &handle)) {
        return;
    }
    Frame frame = EapolFrame(80);
    for (bool mapped : {true, false}) {
        for (ULONG length : {1514u, 20u}) {
            sim::Request read = run.Track(handle.Read(length));
            nic.IndicatePacket(frame, sim::PacketShape{.pieces = {14, 30}, .resources = true, .mapped = mapped});
            handle.CancelIo();
            if (run.Succeeded(read)) {
                ExpectFramePrefix(run, read, frame);
            }
        }
    }
}

struct Scenario {
    const char *name;
    std::function<void(Run &)> body;
};

const Scenario kScenarios[] = {
    {"load and stop", LoadAndStop},
    {"bind after the load, attach", BindAfterLoad},
    {"reads, writes, queries, sets, waits and indications", Traffic},
    {"unbind under pending requests", UnbindUnderRequests},
    {"unload with a handle open", UnloadWithAHandleOpen},
    {"pended open, transfer, send and close", PendedAdapterWork},
    {"packets the miniport needs back, mapped or not", PacketsTheMiniportNeedsBack},
};

// One run of the scenario with the nth failable call failing (0: none);
// returns how many failable calls the run made.
uint64_t RunOnce(const Scenario &scenario, uint64_t failing)
{
    sim::ResetWorld();
    if (failing != 0) {
        sim::faults::FailGlobalNth(failing);
    }
    std::vector<std::string> problems;
    {
        Run run;
        scenario.body(run);
        problems = run.Problems();
    }
    uint64_t calls = sim::faults::TotalCount();
    for (const std::string &problem : problems) {
        ADD_FAILURE() << "client: " << problem;
    }
    EXPECT_EQ(sim::CompletedRequestCount(), sim::RequestCount()) << "requests left uncompleted";
    rztest::CheckAndResetWorld();
    return calls;
}

TEST(FaultSweep, EveryFailableCallOfEveryScenarioFailsCleanly)
{
    uint64_t swept = 0;
    for (const Scenario &scenario : kScenarios) {
        SCOPED_TRACE(scenario.name);
        uint64_t points = RunOnce(scenario, 0);
        EXPECT_GT(points, 0u);
        for (uint64_t n = 1; n <= points; ++n) {
            SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(points));
            RunOnce(scenario, n);
            if (HasFailure()) {
                return;
            }
        }
        std::printf("%-55s %4llu points\n", scenario.name, static_cast<unsigned long long>(points));
        swept += points;
    }
    std::printf("swept %llu failure points\n", static_cast<unsigned long long>(swept));
}

}  // namespace
