// Device-control requests as the I/O manager builds and completes them for
// each transfer method.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/mm.h"
#include "sim/device_control.h"
#include "sim/ndis_pools.h"

namespace sim {

struct ControlBuffers {
    std::mutex lock;
    std::vector<uint8_t> input;   // the caller's input buffer
    std::vector<uint8_t> output;  // the caller's output buffer
    std::vector<uint8_t> system;  // the I/O manager's buffer; empty once freed
    bool completed = false;
    ULONG_PTR returned = 0;
};

namespace {

ULONG TransferMethod(ULONG controlCode)
{
    return controlCode & 3;
}

// The I/O manager frees the system buffer once the request has completed;
// a driver still using it afterwards uses freed memory.
void FreeSystemBuffer(ControlBuffers &buffers)
{
    std::vector<uint8_t>().swap(buffers.system);
}

// What IopCompleteRequest does for a buffered request: the output goes back
// unless the status is an error; never more than the caller's buffer holds.
void CompleteBuffered(ControlBuffers &buffers, PIRP irp)
{
    std::lock_guard<std::mutex> guard(buffers.lock);
    NTSTATUS status = irp->IoStatus.Status;
    bool error = (static_cast<ULONG>(status) >> 30) == 3;
    if (!error) {
        size_t count = std::min<size_t>(irp->IoStatus.Information, buffers.output.size());
        count = std::min(count, buffers.system.size());
        if (count != 0) {
            std::memcpy(buffers.output.data(), buffers.system.data(), count);
        }
        buffers.returned = count;
    }
    FreeSystemBuffer(buffers);
    buffers.completed = true;
}

void CompleteDirect(ControlBuffers &buffers, PIRP irp)
{
    std::lock_guard<std::mutex> guard(buffers.lock);
    if (irp->MdlAddress != nullptr) {
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    FreeSystemBuffer(buffers);
    buffers.returned = std::min<size_t>(irp->IoStatus.Information, buffers.output.size());
    buffers.completed = true;
}

void CompleteNeither(ControlBuffers &buffers, PIRP irp)
{
    std::lock_guard<std::mutex> guard(buffers.lock);
    buffers.returned = std::min<size_t>(irp->IoStatus.Information, buffers.output.size());
    buffers.completed = true;
}

}  // namespace

ControlRequest::ControlRequest(const File &file, ULONG controlCode, std::vector<uint8_t> input,
                               ULONG outputLength)
    : Request(IRP_MJ_DEVICE_CONTROL, file), buffers_(std::make_shared<ControlBuffers>())
{
    buffers_->input = std::move(input);
    buffers_->output.assign(outputLength, kCallerOutputFill);
    ULONG inputLength = static_cast<ULONG>(buffers_->input.size());

    PIO_STACK_LOCATION stack = Stack();
    stack->Parameters.DeviceIoControl.IoControlCode = controlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    PIRP irp = Irp();
    std::shared_ptr<ControlBuffers> buffers = buffers_;

    switch (TransferMethod(controlCode)) {
    case METHOD_BUFFERED:
        if (inputLength != 0 || outputLength != 0) {
            // Windows leaves the buffer uninitialised beyond the input.
            buffers->system.assign(std::max(inputLength, outputLength), kSystemBufferFill);
            std::copy(buffers->input.begin(), buffers->input.end(), buffers->system.begin());
            irp->AssociatedIrp.SystemBuffer = buffers->system.data();
        }
        irp->UserBuffer = outputLength != 0 ? buffers->output.data() : nullptr;
        OnCompletion([buffers](PIRP completed) { CompleteBuffered(*buffers, completed); });
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inputLength != 0) {
            buffers->system = buffers->input;
            irp->AssociatedIrp.SystemBuffer = buffers->system.data();
        }
        if (outputLength != 0) {
            irp->MdlAddress = AllocateLockedMdl(buffers->output.data(), outputLength);
        }
        OnCompletion([buffers](PIRP completed) { CompleteDirect(*buffers, completed); });
        break;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer =
            inputLength != 0 ? buffers->input.data() : nullptr;
        irp->UserBuffer = outputLength != 0 ? buffers->output.data() : nullptr;
        OnCompletion([buffers](PIRP completed) { CompleteNeither(*buffers, completed); });
        break;
    }
}

std::vector<uint8_t> ControlRequest::Output() const
{
    std::lock_guard<std::mutex> guard(buffers_->lock);
    return buffers_->output;
}

std::vector<uint8_t> ControlRequest::Returned() const
{
    std::lock_guard<std::mutex> guard(buffers_->lock);
    if (!buffers_->completed) {
        return {};
    }
    return std::vector<uint8_t>(buffers_->output.begin(),
                                buffers_->output.begin() + static_cast<ptrdiff_t>(buffers_->returned));
}

ControlRequest SendDeviceControl(const File &file, ULONG controlCode, std::vector<uint8_t> input,
                                 ULONG outputLength, PDRIVER_DISPATCH routine)
{
    ControlRequest request(file, controlCode, std::move(input), outputLength);
    if (routine != nullptr) {
        request.Dispatch(routine);
    } else {
        request.Dispatch();
    }
    return request;
}

}  // namespace sim
