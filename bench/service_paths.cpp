// The host service on a veth pair, beside a bare AF_PACKET socket on the
// same pair (the floor: what a program reading the interface itself gets).
//
// Receive: a frame sent on the far end until a client's read returns it.
// The driver gives a frame to the reads pending when it arrives and keeps
// none, so before each frame every client starts its next read and makes
// sure it reached the driver (the service carries out one connection's
// requests in order: the answer to a query sent after the read proves it).
// The frames per second are those of that loop, every client taking every
// frame; the floor's sockets queue frames and need no such step.
//
// Write: a client's write until the far end receives the frame, one at a
// time for the latency; for the frames per second each client writes its
// frames as fast as its writes complete.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/suites.h"
#include "bench/table.h"
#include "bench/veth_world.h"
#include "client/rezezura_client.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kFrameLimit{5000};
constexpr uint32_t kReadRoom = 1514;

enum class Road { Rezezura, Floor };

const char *RoadName(Road road)
{
    return road == Road::Rezezura ? "rezezura" : "floor";
}

// A client of the service attached to the near end.
struct Client {
    rezezura_client *client = nullptr;
    std::string error;

    Client()
    {
        rezezura_result opened = rezezura_open(&client);
        if (!rezezura_succeeded(opened)) {
            error = "the client could not open the service's device";
            client = nullptr;
            return;
        }
        if (!rezezura_succeeded(rezezura_attach(client, VethWorld::kNear))) {
            error = "the client could not attach to the near end";
        }
    }
    ~Client() { rezezura_close(client); }
};

class Receiver {
public:
    virtual ~Receiver() = default;
    virtual std::string Error() const = 0;
    // Ready for the next frame.
    virtual bool Arm() = 0;
    // The frame of this sequence number, within the limit.
    virtual bool Take(uint32_t sequence) = 0;
};

class ServiceReceiver : public Receiver {
public:
    std::string Error() const override { return client_.error; }
    bool Arm() override
    {
        uint8_t address[6];
        return rezezura_succeeded(rezezura_start_read(client_.client, frame_.data(), kReadRoom, &read_)) &&
               rezezura_succeeded(
                   rezezura_query_oid(client_.client, REZEZURA_OID_802_3_CURRENT_ADDRESS, address, sizeof address));
    }
    bool Take(uint32_t sequence) override
    {
        rezezura_result got = rezezura_finish(read_, static_cast<uint32_t>(kFrameLimit.count()));
        auto tag = TagOf(frame_.data(), got.information);
        return rezezura_succeeded(got) && !got.timed_out && tag && tag->second == sequence;
    }

private:
    Client client_;
    std::vector<uint8_t> frame_ = std::vector<uint8_t>(kReadRoom);
    rezezura_request *read_ = nullptr;
};

class RawReceiver : public Receiver {
public:
    std::string Error() const override { return port_.Opened() ? "" : "no packet socket on the near end"; }
    bool Arm() override { return true; }
    bool Take(uint32_t sequence) override
    {
        auto deadline = Clock::now() + kFrameLimit;
        while (port_.Receive(frame_, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) {
            auto tag = TagOf(frame_.data(), frame_.size());
            if (tag && tag->second == sequence) {
                return true;
            }
        }
        return false;
    }

private:
    RawPort port_{VethWorld::kNear};
    std::vector<uint8_t> frame_;
};

class Sender {
public:
    virtual ~Sender() = default;
    virtual std::string Error() const = 0;
    virtual bool Send(const std::vector<uint8_t> &frame) = 0;
};

class ServiceSender : public Sender {
public:
    std::string Error() const override { return client_.error; }
    bool Send(const std::vector<uint8_t> &frame) override
    {
        rezezura_result written = rezezura_write(client_.client, frame.data(), static_cast<uint32_t>(frame.size()));
        return rezezura_succeeded(written) && written.information == frame.size();
    }

private:
    Client client_;
};

class RawSender : public Sender {
public:
    std::string Error() const override { return port_.Opened() ? "" : "no packet socket on the near end"; }
    bool Send(const std::vector<uint8_t> &frame) override { return port_.Send(frame); }

private:
    RawPort port_{VethWorld::kNear};
};

struct Figures {
    std::vector<double> latenciesUs;
    double framesPerSecond = 0;
};

void Report(benchmark::State &state, Figures figures, Clock::duration elapsed)
{
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    std::vector<double> &samples = figures.latenciesUs;
    if (!samples.empty()) {
        std::sort(samples.begin(), samples.end());
        size_t p99 = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(samples.size()))) - 1;
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[std::min(p99, samples.size() - 1)];
    }
    state.counters["frames_per_second"] = figures.framesPerSecond;
}

// How far the threads of one measurement have come, and the first failure.
struct Progress {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t count = 0;
    std::string failure;

    void Advance()
    {
        std::lock_guard<std::mutex> guard(lock);
        ++count;
        changed.notify_all();
    }
    void Fail(const std::string &why)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (failure.empty()) {
            failure = why;
        }
        changed.notify_all();
    }
    // Until the count reaches `target`; false on a failure or past the limit.
    bool WaitFor(uint64_t target, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> guard(lock);
        bool reached = changed.wait_for(guard, limit, [&] { return count >= target || !failure.empty(); });
        if (!reached && failure.empty()) {
            failure = "a frame did not arrive within " + std::to_string(limit.count()) + " ms";
        }
        return failure.empty();
    }
};

void MeasureReceive(benchmark::State &state, Road road, int clients, uint32_t frames)
{
    std::vector<std::unique_ptr<Receiver>> receivers;
    for (int i = 0; i < clients; ++i) {
        receivers.push_back(road == Road::Rezezura ? std::unique_ptr<Receiver>(new ServiceReceiver)
                                                   : std::unique_ptr<Receiver>(new RawReceiver));
        if (!receivers.back()->Error().empty()) {
            state.SkipWithError(receivers.back()->Error().c_str());
            return;
        }
    }
    RawPort far(VethWorld::kFar);
    Mac near = VethWorld::AddressOf(VethWorld::kNear);
    Mac farAddress = VethWorld::AddressOf(VethWorld::kFar);
    std::vector<Clock::time_point> sent(frames);
    std::vector<std::vector<Clock::time_point>> taken(clients, std::vector<Clock::time_point>(frames));
    Progress ready;
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            for (uint32_t i = 0; i < frames; ++i) {
                if (!receivers[c]->Arm()) {
                    ready.Fail("a client's next read did not start");
                    return;
                }
                ready.Advance();
                if (!receivers[c]->Take(i)) {
                    ready.Fail("a client's read did not return frame " + std::to_string(i));
                    return;
                }
                taken[c][i] = Clock::now();
            }
        });
    }
    for (uint32_t i = 0; i < frames; ++i) {
        if (!ready.WaitFor(uint64_t(clients) * (i + 1), kFrameLimit)) {
            break;
        }
        std::vector<uint8_t> frame = TaggedFrame(near, farAddress, 0, i);
        sent[i] = Clock::now();
        if (!far.Send(frame)) {
            ready.Fail("the far end could not send");
            break;
        }
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    if (!ready.failure.empty()) {
        state.SkipWithError(ready.failure.c_str());
        return;
    }
    Figures figures;
    Clock::time_point last = sent.front();
    for (const std::vector<Clock::time_point> &times : taken) {
        for (uint32_t i = 0; i < frames; ++i) {
            figures.latenciesUs.push_back(std::chrono::duration<double, std::micro>(times[i] - sent[i]).count());
            last = std::max(last, times[i]);
        }
    }
    Clock::duration elapsed = last - sent.front();
    figures.framesPerSecond = frames / std::chrono::duration<double>(elapsed).count();
    Report(state, std::move(figures), elapsed);
}

// The far end's record of the frames it received, by sender and sequence.
class FarEnd {
public:
    FarEnd(int senders, uint32_t frames)
        : frames_(frames), arrived_(size_t(senders) * frames), thread_([this, senders] { Run(senders); })
    {
    }
    ~FarEnd()
    {
        stop_ = true;
        thread_.join();
    }
    bool Opened() const { return port_.Opened(); }
    Progress &Count() { return count_; }
    Clock::time_point Arrival(uint32_t sender, uint32_t sequence) const { return arrived_[sender * frames_ + sequence]; }
    Clock::time_point Last() const { return *std::max_element(arrived_.begin(), arrived_.end()); }

private:
    void Run(int senders)
    {
        std::vector<uint8_t> frame;
        uint64_t expected = uint64_t(senders) * frames_;
        uint64_t seen = 0;
        while (!stop_ && seen < expected) {
            if (!port_.Receive(frame, std::chrono::milliseconds(100))) {
                continue;
            }
            Clock::time_point now = Clock::now();
            auto tag = TagOf(frame.data(), frame.size());
            if (tag && tag->first < uint32_t(senders) && tag->second < frames_) {
                arrived_[tag->first * frames_ + tag->second] = now;
                ++seen;
                count_.Advance();
            }
        }
    }

    RawPort port_{VethWorld::kFar};
    const uint32_t frames_;
    std::vector<Clock::time_point> arrived_;
    Progress count_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::unique_ptr<Sender> MakeSender(Road road)
{
    return road == Road::Rezezura ? std::unique_ptr<Sender>(new ServiceSender)
                                  : std::unique_ptr<Sender>(new RawSender);
}

void MeasureWriteLatency(benchmark::State &state, Road road, uint32_t frames)
{
    std::unique_ptr<Sender> sender = MakeSender(road);
    if (!sender->Error().empty()) {
        state.SkipWithError(sender->Error().c_str());
        return;
    }
    Mac near = VethWorld::AddressOf(VethWorld::kNear);
    Mac far = VethWorld::AddressOf(VethWorld::kFar);
    FarEnd farEnd(1, frames);
    Figures figures;
    Clock::time_point first = Clock::now();
    for (uint32_t i = 0; i < frames; ++i) {
        std::vector<uint8_t> frame = TaggedFrame(far, near, 0, i);
        Clock::time_point start = Clock::now();
        if (!sender->Send(frame)) {
            state.SkipWithError("a write failed");
            return;
        }
        if (!farEnd.Count().WaitFor(i + 1, kFrameLimit)) {
            state.SkipWithError(("the far end: " + farEnd.Count().failure).c_str());
            return;
        }
        figures.latenciesUs.push_back(std::chrono::duration<double, std::micro>(farEnd.Arrival(0, i) - start).count());
    }
    Clock::duration elapsed = farEnd.Last() - first;
    figures.framesPerSecond = frames / std::chrono::duration<double>(elapsed).count();
    Report(state, std::move(figures), elapsed);
}

void MeasureWriteRate(benchmark::State &state, Road road, int clients, uint32_t frames)
{
    std::vector<std::unique_ptr<Sender>> senders;
    for (int i = 0; i < clients; ++i) {
        senders.push_back(MakeSender(road));
        if (!senders.back()->Error().empty()) {
            state.SkipWithError(senders.back()->Error().c_str());
            return;
        }
    }
    Mac near = VethWorld::AddressOf(VethWorld::kNear);
    Mac far = VethWorld::AddressOf(VethWorld::kFar);
    FarEnd farEnd(clients, frames);
    Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            for (uint32_t i = 0; i < frames; ++i) {
                if (!senders[c]->Send(TaggedFrame(far, near, uint32_t(c), i))) {
                    farEnd.Count().Fail("a write failed");
                    return;
                }
            }
        });
    }
    // Every frame within a limit that grows with their number.
    bool all = farEnd.Count().WaitFor(uint64_t(clients) * frames, kFrameLimit + std::chrono::milliseconds(frames));
    for (std::thread &thread : threads) {
        thread.join();
    }
    if (!all) {
        state.SkipWithError(("the far end: " + farEnd.Count().failure).c_str());
        return;
    }
    Clock::duration elapsed = farEnd.Last() - start;
    Figures figures;
    figures.framesPerSecond = double(clients) * frames / std::chrono::duration<double>(elapsed).count();
    Report(state, std::move(figures), elapsed);
}

enum class Kind { Receive, WriteLatency, WriteRate };

std::string Name(Kind kind, Road road, int clients)
{
    const char *what = kind == Kind::Receive ? "receive" : kind == Kind::WriteLatency ? "write_latency" : "write_rate";
    return std::string("service/") + what + "/" + RoadName(road) + "/" + std::to_string(clients);
}

// One measurement in a world of its own: the namespace, the pair, and on
// rezezura's road the service.
void Measure(benchmark::State &state, Kind kind, Road road, int clients, uint32_t frames)
{
    for (auto _ : state) {
        VethWorld world;
        if (!world.Error().empty()) {
            state.SkipWithError(world.Error().c_str());
            return;
        }
        std::unique_ptr<ServiceProcess> service;
        if (road == Road::Rezezura) {
            service = std::make_unique<ServiceProcess>();
            if (!service->Error().empty()) {
                state.SkipWithError(service->Error().c_str());
                return;
            }
        }
        switch (kind) {
        case Kind::Receive: MeasureReceive(state, road, clients, frames); break;
        case Kind::WriteLatency: MeasureWriteLatency(state, road, frames); break;
        case Kind::WriteRate: MeasureWriteRate(state, road, clients, frames); break;
        }
    }
}

void AddRows(const std::string &figure, const char *unit, Kind kind, int clients, const char *measure, Goal goal,
             double goalValue)
{
    Row row;
    row.figure = figure;
    row.unit = unit;
    row.subject = {Name(kind, Road::Rezezura, clients), measure};
    row.comparisonLabel = "bare AF_PACKET socket";
    row.comparison = {Name(kind, Road::Floor, clients), measure};
    row.goal = goal;
    row.goalValue = goalValue;
    AddRow(row);
}

}  // namespace

void RegisterServicePaths(bool brief)
{
    uint32_t latencyFrames = brief ? 20 : 2000;
    uint32_t rateFrames = brief ? 20 : 5000;
    // A single run on a shared or virtual machine can be twice as slow as
    // the next, the floor's too: each figure is the median of several
    // rounds, each measuring rezezura and the floor one after the other.
    int rounds = brief ? 1 : 9;
    auto add = [](Kind kind, Road road, int clients, uint32_t frames) {
        benchmark::RegisterBenchmark(Name(kind, road, clients).c_str(),
                                     [=](benchmark::State &state) { Measure(state, kind, road, clients, frames); })
            ->UseManualTime()
            ->Iterations(1);
    };
    for (int round = 0; round < rounds; ++round) {
        for (int clients : {1, 4}) {
            for (Kind kind : {Kind::Receive, Kind::WriteRate}) {
                for (Road road : {Road::Rezezura, Road::Floor}) {
                    add(kind, road, clients, kind == Kind::Receive ? latencyFrames : rateFrames);
                }
            }
        }
        for (Road road : {Road::Rezezura, Road::Floor}) {
            add(Kind::WriteLatency, road, 1, latencyFrames);
        }
    }

    AddHeading("The host service on a veth pair: rezezura-host and a client, beside a bare AF_PACKET socket on the "
               "same pair (root)");
    AddRows("far end to a client's read, median", "us", Kind::Receive, 1, "median_us", Goal::RatioAtMost, 1.5);
    AddRows("far end to a client's read, 99th percentile", "us", Kind::Receive, 1, "p99_us", Goal::RatioAtMost, 2);
    AddRows("a client's write to the far end, median", "us", Kind::WriteLatency, 1, "median_us", Goal::RatioAtMost,
            1.5);
    AddRows("a client's write to the far end, 99th percentile", "us", Kind::WriteLatency, 1, "p99_us",
            Goal::RatioAtMost, 2);
    for (int clients : {1, 4}) {
        std::string who = clients == 1 ? "1 client" : "4 clients";
        // Each frame needs the client's next read in place first, which the bare socket's queue does not.
        AddRows("received, every client reading each, " + who, "frames/s", Kind::Receive, clients,
                "frames_per_second", Goal::RatioAtLeast, 0.4);
        AddRows("written, " + who + " writing at once", "frames/s", Kind::WriteRate, clients, "frames_per_second",
                Goal::RatioAtLeast, 0.7);
    }
    RegisterMessageHop(brief, Name(Kind::Receive, Road::Floor, 1));
}

}  // namespace bench
