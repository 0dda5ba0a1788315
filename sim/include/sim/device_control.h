// Device control as the I/O manager builds it for a caller's DeviceIoControl:
// a request of IRP_MJ_DEVICE_CONTROL whose buffers follow the transfer method
// in the control code's low two bits.
//
//   METHOD_BUFFERED  one system buffer of the larger of the input and output
//                    lengths (none when both are 0), the input copied in and
//                    the rest left as pool memory is (kSystemBufferFill); on
//                    completion without an error status the first
//                    IoStatus.Information bytes go back to the caller's output
//                    buffer, and the system buffer is freed.
//   METHOD_IN_DIRECT, METHOD_OUT_DIRECT
//                    the input in a system buffer, the caller's output buffer
//                    behind a locked MDL in MdlAddress, freed on completion.
//   METHOD_NEITHER   the caller's own buffers: Type3InputBuffer and UserBuffer.
//
// The verifier fails a buffered completion whose Information exceeds the
// output length (irp.information-too-large, sim/io.h); the I/O manager then
// copies no more than the output buffer holds.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/io.h"

namespace sim {

// Bytes of the caller's output buffer before anything was returned into it.
constexpr uint8_t kCallerOutputFill = 0xCC;
// Bytes of a buffered request's system buffer beyond the input: the I/O
// manager does not initialise them, so a driver that returns bytes it never
// wrote hands back whatever the pool held, shown as this pattern.
constexpr uint8_t kSystemBufferFill = 0xA5;

struct ControlBuffers;

// One device-control request with the caller's buffers. It is a Request:
// dispatch, wait for, cancel and read its final status as any other.
class ControlRequest : public Request {
public:
    ControlRequest(const File &file, ULONG controlCode, std::vector<uint8_t> input,
                   ULONG outputLength);

    // The caller's whole output buffer as it is now (kCallerOutputFill where
    // nothing was returned).
    std::vector<uint8_t> Output() const;
    // The bytes returned to the caller: the first Information bytes of the
    // output buffer once the request has completed, empty before.
    std::vector<uint8_t> Returned() const;

private:
    std::shared_ptr<ControlBuffers> buffers_;
};

// Builds a device-control request for the file and dispatches it to `routine`
// in this thread, or through the device's dispatch table when it is NULL.
ControlRequest SendDeviceControl(const File &file, ULONG controlCode, std::vector<uint8_t> input,
                                 ULONG outputLength, PDRIVER_DISPATCH routine = nullptr);

}  // namespace sim
