// One message through a SOCK_SEQPACKET pair, sent and received on one
// thread: what each crossing between a client and the service costs in the
// kernel at the least, with no wake-up. A frame the service relays crosses
// once on its way (a write's request, a read's answer) besides the wire's
// own path, so this beside the bare socket's latency shows how much of a
// latency goal is left for the service and the driver.
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bench/suites.h"
#include "bench/table.h"

namespace bench {
namespace {

const char *const kName = "service/message_hop";
// A write's request carrying a 60-byte frame.
constexpr size_t kMessageLength = 76;

void MessageHop(benchmark::State &state)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("no SOCK_SEQPACKET pair");
        return;
    }
    unsigned char sent[kMessageLength] = {0x5A};
    unsigned char received[2048];
    for (auto _ : state) {
        if (send(pair[0], sent, sizeof sent, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof sent) ||
            recv(pair[1], received, sizeof received, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof sent)) {
            state.SkipWithError("the message did not cross whole");
            break;
        }
    }
    close(pair[0]);
    close(pair[1]);
}

}  // namespace

void RegisterMessageHop(bool brief, const std::string &floorLatency)
{
    benchmark::internal::Benchmark *registered = benchmark::RegisterBenchmark(kName, MessageHop);
    if (brief) {
        registered->Iterations(1);
    }
    Row row;
    row.figure = "one message of 76 bytes to a process, no wake-up";
    row.unit = "us";
    row.subject = {kName, "time", 1000};
    row.comparisonLabel = "bare socket, far end to read";
    row.comparison = {floorLatency, "median_us"};
    AddRow(row);
}

}  // namespace bench
