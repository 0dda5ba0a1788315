// A whole authentication between hostapd and wpa_supplicant, from the
// EAPOL-Start hostapd receives to the supplicant's EAP success: through
// `relayctl bridge` and rezezura-host, beside wpa_supplicant straight on the
// veth against the same hostapd. The interop suite's authenticate.py runs
// them (each in namespaces it makes and removes) and prints one line per
// run; the figure is the median over the runs.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/child_process.h"
#include "bench/suites.h"
#include "bench/table.h"
#include "bench/veth_world.h"

namespace bench {
namespace {

// One authentication takes well under this, its set-up and ending included.
constexpr std::chrono::seconds kPerRun{60};

std::string Name(const char *method, const char *road)
{
    return std::string("authentication/") + method + "/" + road;
}

bool Installed(const char *program)
{
    for (const char *directory : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        if (access((std::string(directory) + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// The milliseconds of each run the script printed ("run N: X ms").
std::vector<double> Times(const std::string &output)
{
    std::vector<double> times;
    size_t at = 0;
    while ((at = output.find("run ", at)) != std::string::npos) {
        int run = 0;
        double milliseconds = 0;
        if (std::sscanf(output.c_str() + at, "run %d: %lf ms", &run, &milliseconds) == 2) {
            times.push_back(milliseconds);
        }
        at += 4;
    }
    return times;
}

void Authenticate(benchmark::State &state, const char *method, const char *road, int runs)
{
    for (auto _ : state) {
        if (geteuid() != 0) {
            state.SkipWithError((std::string(kCannotRunHere) + "needs root, for network namespaces").c_str());
            return;
        }
        if (!Installed("hostapd") || !Installed("wpa_supplicant")) {
            state.SkipWithError((std::string(kCannotRunHere) + "hostapd and wpa_supplicant are not installed").c_str());
            return;
        }
        int pipe[2];
        if (pipe2(pipe, O_CLOEXEC) != 0) {
            state.SkipWithError("no pipe for the authentication's output");
            return;
        }
        // SIGINT on the way out lets the script remove its namespaces.
        pid_t child = SpawnChild({"python3", REZEZURA_SOURCE_DIR "/tests/interop/authenticate.py", "--road", road,
                                  "--method", method, "--runs", std::to_string(runs), "--build", REZEZURA_BUILD_DIR},
                                 pipe[1], SIGINT);
        close(pipe[1]);
        std::string output;
        auto deadline = std::chrono::steady_clock::now() + kPerRun * runs;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd wait{pipe[0], POLLIN, 0};
            char chunk[4096];
            ssize_t got = 0;
            if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) <= 0 ||
                (got = read(pipe[0], chunk, sizeof chunk)) <= 0) {
                break;
            }
            output.append(chunk, static_cast<size_t>(got));
        }
        close(pipe[0]);
        if (child > 0) {
            kill(child, SIGINT);  // a script still running past the limit cleans up and ends
        }
        int status = ReapChild(child, std::chrono::seconds(30));
        std::vector<double> times = Times(output);
        if (status != 0 || times.size() != static_cast<size_t>(runs)) {
            std::fprintf(stderr, "%s", output.c_str());
            state.SkipWithError(("authenticate.py --road " + std::string(road) + " --method " + method +
                                 " failed (its output is above)")
                                    .c_str());
            return;
        }
        std::sort(times.begin(), times.end());
        state.SetIterationTime(times[times.size() / 2] / 1000);
        state.counters["median_ms"] = times[times.size() / 2];
    }
}

}  // namespace

void RegisterAuthentications(bool brief)
{
    int runs = brief ? 1 : 7;
    for (const char *method : {"md5", "tls"}) {
        for (const char *road : {"rezezura", "direct"}) {
            benchmark::RegisterBenchmark(Name(method, road).c_str(), [=](benchmark::State &state) {
                Authenticate(state, method, road, runs);
            })->UseManualTime()->Iterations(1);
        }
    }

    AddHeading("A whole authentication against hostapd, EAPOL-Start to EAP success, median of " +
               std::to_string(runs) + " (root)");
    for (const char *method : {"md5", "tls"}) {
        Row row;
        row.figure = std::string("EAP-") + (std::string(method) == "md5" ? "MD5" : "TLS") +
                     ", wpa_supplicant through relayctl bridge and rezezura";
        row.unit = "ms";
        row.subject = {Name(method, "rezezura"), "median_ms"};
        row.comparisonLabel = "wpa_supplicant on the veth itself";
        row.comparison = {Name(method, "direct"), "median_ms"};
        row.goal = Goal::RatioAtMost;
        row.goalValue = 1.1;
        AddRow(row);
    }
}

}  // namespace bench
