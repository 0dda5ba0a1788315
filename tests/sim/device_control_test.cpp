// Device control as the I/O manager does it: the system buffer of a buffered
// request, and what goes back to the caller when it completes.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/io.h"
#include "sim/device_control.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;

constexpr ULONG kBufferedCode = CTL_CODE(0x22, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

class DeviceControl : public rztest::SimTest {
protected:
    DEVICE_OBJECT device_{};
    sim::File file_{&device_};
};

// What a driver saw of the request it was given, and what it answers.
struct Seen {
    PVOID systemBuffer = nullptr;
    std::vector<uint8_t> systemBytes;
    ULONG_PTR answerLength = 0;
    NTSTATUS answerStatus = STATUS_SUCCESS;
};
Seen g_seen;

// Records the system buffer, then writes 0xA0, 0xA1, ... over its start.
NTSTATUS NTAPI AnswerFromSystemBuffer(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG size = std::max(stack->Parameters.DeviceIoControl.InputBufferLength,
                          stack->Parameters.DeviceIoControl.OutputBufferLength);
    auto *bytes = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    g_seen.systemBuffer = bytes;
    g_seen.systemBytes.assign(bytes, bytes + (bytes != nullptr ? size : 0));
    for (ULONG_PTR i = 0; i < g_seen.answerLength && i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(0xA0 + i);
    }
    irp->IoStatus.Status = g_seen.answerStatus;
    irp->IoStatus.Information = g_seen.answerLength;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return g_seen.answerStatus;
}

// Reports four bytes of output and writes none of them.
NTSTATUS NTAPI ReportWithoutWriting(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(DeviceControl, BufferedInputArrivesInOneBufferOfTheLargerLength)
{
    g_seen = Seen{};
    sim::SendDeviceControl(file_, kBufferedCode, {1, 2, 3}, 8, AnswerFromSystemBuffer);
    constexpr uint8_t kFill = sim::kSystemBufferFill;
    EXPECT_EQ(g_seen.systemBytes, (std::vector<uint8_t>{1, 2, 3, kFill, kFill, kFill, kFill, kFill}))
        << "beyond the input the buffer is not initialised";

    g_seen = Seen{};
    sim::SendDeviceControl(file_, kBufferedCode, {1, 2, 3, 4, 5}, 2, AnswerFromSystemBuffer);
    EXPECT_EQ(g_seen.systemBytes, (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    g_seen = Seen{};
    sim::SendDeviceControl(file_, kBufferedCode, {}, 0, AnswerFromSystemBuffer);
    EXPECT_EQ(g_seen.systemBuffer, nullptr);
}

TEST_F(DeviceControl, InformationBytesGoBackUnlessTheStatusIsAnError)
{
    g_seen = Seen{};
    g_seen.answerLength = 3;
    sim::ControlRequest done = sim::SendDeviceControl(file_, kBufferedCode, {9}, 6, AnswerFromSystemBuffer);
    EXPECT_EQ(done.Returned(), (std::vector<uint8_t>{0xA0, 0xA1, 0xA2}));
    EXPECT_EQ(done.Output(), (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, sim::kCallerOutputFill,
                                                   sim::kCallerOutputFill, sim::kCallerOutputFill}));

    // Bytes the driver reports but never wrote go back as the buffer held them.
    sim::ControlRequest unwritten = sim::SendDeviceControl(file_, kBufferedCode, {9}, 6, ReportWithoutWriting);
    EXPECT_EQ(unwritten.Returned(), (std::vector<uint8_t>{9, sim::kSystemBufferFill, sim::kSystemBufferFill,
                                                          sim::kSystemBufferFill}));

    g_seen.answerStatus = STATUS_BUFFER_OVERFLOW;
    sim::ControlRequest warned = sim::SendDeviceControl(file_, kBufferedCode, {9}, 3, AnswerFromSystemBuffer);
    EXPECT_EQ(warned.Returned().size(), 3u);

    g_seen.answerStatus = STATUS_INVALID_PARAMETER;
    sim::ControlRequest failed = sim::SendDeviceControl(file_, kBufferedCode, {9}, 3, AnswerFromSystemBuffer);
    EXPECT_TRUE(failed.Returned().empty());
    EXPECT_EQ(failed.Output(), std::vector<uint8_t>(3, sim::kCallerOutputFill));
}

TEST_F(DeviceControl, VerifierFailsInformationBeyondTheOutputLength)
{
    g_seen = Seen{};
    g_seen.answerLength = 4;
    sim::ControlRequest request = sim::SendDeviceControl(file_, kBufferedCode, {1, 2, 3, 4}, 2,
                                                         AnswerFromSystemBuffer);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.information-too-large"));
    EXPECT_EQ(request.Returned().size(), 2u);
}

}  // namespace
