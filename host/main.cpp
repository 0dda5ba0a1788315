// rezezura-host: the rezezura driver on real Linux interfaces, serving real
// client processes through its control device.
#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>

#include "host/options.h"
#include "host/service.h"

int main(int argc, char **argv)
{
    host::ParsedOptions parsed = host::ParseOptions(argc, argv);
    if (!parsed.options) {
        std::fprintf(stderr, "rezezura-host: %s\n", parsed.error.c_str());
        return 2;
    }
    if (parsed.options->help) {
        std::fputs(host::kUsage, stdout);
        return 0;
    }
    // Every thread started from here on inherits the mask; the signals
    // arrive only through the signalfd.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGTERM);
    sigaddset(&stopping, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int signals = signalfd(-1, &stopping, SFD_CLOEXEC);
    if (signals < 0) {
        std::perror("rezezura-host: signalfd");
        return 1;
    }
    host::Service service;
    return service.Run(*parsed.options, signals);
}
