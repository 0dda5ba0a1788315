// rezezura-host's service run inside the test program, on a thread of its
// own, so that a test can stop the platform's parties at its hook points
// (sim/hooks.h) while clients go on. Its standard error is the test's to
// read line by line while it runs, and is passed on to the real one.
#pragma once

#include <pthread.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/options.h"
#include "tests/service/service_world.h"

namespace service_test {

class InProcessService {
public:
    // Starts it with these options on a fresh socket; Ready() tells whether it said it serves.
    explicit InProcessService(host::Options options);
    ~InProcessService();
    InProcessService(const InProcessService &) = delete;
    InProcessService &operator=(const InProcessService &) = delete;

    bool Ready() const { return ready_; }
    const std::string &SocketPath() const { return socket_; }
    // Waits for a line containing `text`, among those from the `from`th on.
    bool WaitForLine(const std::string &text, std::chrono::milliseconds limit = kLimit, size_t from = 0)
    {
        return output_.WaitForLine(text, limit, from);
    }
    const std::vector<std::string> &Lines() const { return output_.Lines(); }
    // Stops it as SIGTERM does and reads every line until it returned; its exit status.
    int Stop();

private:
    std::string socket_;
    int savedError_ = -1;  // the real standard error
    OutputLines output_;   // what the service writes on standard error, passed on to the real one
    std::thread thread_;
    pthread_t handle_{};
    int status_ = -1;  // written by the thread, read once it is joined
    bool running_ = false;
    bool ready_ = false;
};

}  // namespace service_test
