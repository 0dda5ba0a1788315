// Every system worker thread held inside a work item routine, so that the
// items a test queues meanwhile stay queued, until the test lets the workers
// go, one at a time or all together.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ndis_work.h"
#include "tests/support/gate.h"

namespace rztest {

class BusyWorkers {
public:
    // Returns once every worker thread runs one of the holding routines.
    BusyWorkers();
    // Lets every worker still held go, and waits for the work items to end.
    ~BusyWorkers();
    BusyWorkers(const BusyWorkers &) = delete;
    BusyWorkers &operator=(const BusyWorkers &) = delete;

    // One worker goes on to the items queued.
    void ReleaseOne();
    void ReleaseAll();

    struct Hold {
        NDIS_WORK_ITEM item{};
        Gate gate;
        BusyWorkers *owner = nullptr;
    };

private:
    static VOID NTAPI HoldWorker(PNDIS_WORK_ITEM item, PVOID context);

    std::vector<std::unique_ptr<Hold>> holds_;
    size_t released_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
    size_t holding_ = 0;
};

}  // namespace rztest
