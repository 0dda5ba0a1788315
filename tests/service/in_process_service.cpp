#include "tests/service/in_process_service.h"

#include <fcntl.h>
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
    output_.Take(pipe[0], savedError_);
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
    while (!ready_ && output_.ReadLine(kLimit)) {
        ready_ = output_.Lines().back().find("rezezura-host: serving") != std::string::npos;
    }
}

InProcessService::~InProcessService()
{
    if (running_) {
        Stop();
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
    while (output_.ReadLine(kLimit)) {
    }
    thread_.join();
    running_ = false;
    return status_;
}

}  // namespace service_test
