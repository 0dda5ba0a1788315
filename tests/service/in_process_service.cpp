#include "tests/service/in_process_service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "host/service.h"

namespace service_test {
namespace {

// Stands for SIGTERM: sent to the service's thread alone, which blocks it
// and hears it through its signalfd, as the service's own program does.
constexpr int kStopSignal = SIGUSR1;

}  // namespace

InProcessService::InProcessService(host::Options options) : socket_(FreshSocketPath())
{
    options.socket = socket_;
    // The image suite runs every case again on rezezura.sys itself.
    if (const char *image = std::getenv("REZEZURA_IMAGE"); image != nullptr && !options.image) {
        options.image = image;
    }
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) {
        return;
    }
    std::fflush(stderr);
    savedError_ = dup(STDERR_FILENO);
    dup2(pipe[1], STDERR_FILENO);
    close(pipe[1]);
    output_ = pipe[0];
    signal(SIGPIPE, SIG_IGN);
    thread_ = std::thread([this, options] {
        sigset_t stopping;
        sigemptyset(&stopping);
        sigaddset(&stopping, kStopSignal);
        pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
        int signals = signalfd(-1, &stopping, SFD_CLOEXEC);
        {
            host::Service service;
            status_ = service.Run(options, signals);
        }
        close(signals);
        // Its output ends here, which tells the reader that it returned.
        std::fflush(stderr);
        dup2(savedError_, STDERR_FILENO);
    });
    handle_ = thread_.native_handle();
    running_ = true;
    while (!ready_ && ReadLine(kLimit)) {
        ready_ = lines_.back().find("rezezura-host: serving") != std::string::npos;
    }
}

InProcessService::~InProcessService()
{
    if (running_) {
        Stop();
    }
    if (output_ >= 0) {
        close(output_);
    }
    if (savedError_ >= 0) {
        close(savedError_);
    }
}

int InProcessService::Stop()
{
    if (!running_) {
        return status_;
    }
    pthread_kill(handle_, kStopSignal);
    while (ReadLine(kLimit)) {
    }
    thread_.join();
    running_ = false;
    return status_;
}

bool InProcessService::WaitForLine(const std::string &text, std::chrono::milliseconds limit, size_t from)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (size_t index = from;; ++index) {
        while (index >= lines_.size()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadLine(left)) {
                return false;
            }
        }
        if (lines_[index].find(text) != std::string::npos) {
            return true;
        }
    }
}

bool InProcessService::ReadLine(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            lines_.push_back(pending_.substr(0, end));
            pending_.erase(0, end + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{output_, POLLIN, 0};
        if (output_ < 0 || left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char chunk[4096];
        ssize_t got = read(output_, chunk, sizeof chunk);
        if (got <= 0) {
            return false;
        }
        // Passed on, so that what else goes to standard error meanwhile is seen.
        ssize_t shown = write(savedError_, chunk, static_cast<size_t>(got));
        (void)shown;
        pending_.append(chunk, static_cast<size_t>(got));
    }
}

}  // namespace service_test
