// The I/O manager's record of each request, shared by its parts: building and
// dispatch (io_request.cpp), completion (io_complete.cpp) and cancellation
// (io_cancel.cpp).
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/io.h"

namespace sim {

// A completed request's memory is filled with this byte, so that a driver
// reading it afterwards sees garbage and one writing it is caught.
constexpr uint8_t kIrpPoisonByte = 0xDE;

struct FileState {
    FILE_OBJECT object{};
};

struct RequestState {
    // What the driver sees: the IRP followed by its one stack location.
    struct Block {
        IRP irp;
        IO_STACK_LOCATION stack;
    };
    Block block{};
    UCHAR majorFunction = 0;

    std::mutex lock;  // guards everything below
    std::condition_variable finishedChanged;
    bool dispatched = false;
    bool refused = false;  // failed by the I/O manager, never dispatched
    NTSTATUS dispatchStatus = 0;
    bool completed = false;  // IofCompleteRequest took it: the driver's part is over
    bool finished = false;   // the completion has run; waiters may go
    IO_STATUS_BLOCK finalStatus{};
    CCHAR priorityBoost = 0;
    bool markedPending = false;
    // The I/O manager's own cancellations in progress; the memory stays
    // intact until they are over.
    int cancellers = 0;
    bool poisoned = false;
    bool touchReported = false;
    bool released = false;  // the caller let go; forgotten once finished
    std::vector<std::function<void(PIRP)>> completionSteps;
};

// The request the I/O manager built at `irp`, or null.
std::shared_ptr<RequestState> FindRequest(PIRP irp);

// With the state's lock held: poisons the memory once the request has
// finished and no cancellation is in progress.
void PoisonIfDone(RequestState &state);
// With the state's lock held: reports, once, a write to a poisoned request.
void CheckUntouched(RequestState &state, const char *caller);

void CountCompletion();
// The I/O manager frees a finished request the caller let go of.
void ForgetRequest(PIRP irp);

// IoCancelIrp. `byIoManager`: the I/O manager cancels on a thread's behalf
// and may meet a request that has just completed; the driver may not.
BOOLEAN CancelRequest(const std::shared_ptr<RequestState> &state, bool byIoManager);

std::string MajorFunctionName(UCHAR majorFunction);
std::string StatusText(NTSTATUS status);

// Direct I/O's part of ForgetFinishedRequests: the callers' buffers of these requests.
void ForgetCallerBuffers(const std::vector<PIRP> &irps);

// The world's part: forget every request and file; list requests never completed.
void ResetIo();
void AppendIoLeaks(std::vector<std::string> &leaks);

}  // namespace sim
