// The I/O manager's requests: the verifier catches each way a driver can
// mishandle one, and cancellation runs as the platform's does.
#include <gtest/gtest.h>

#include <thread>

#include "platform/io.h"
#include "sim/hooks.h"
#include "sim/io.h"
#include "sim/irql.h"
#include "sim/world.h"
#include "tests/support/gate.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;

class IoManager : public rztest::SimTest {
protected:
    DEVICE_OBJECT device_{};
    sim::File file_{&device_};
};

void Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp)
{
    Finish(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI MarkPending(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI PendWithoutMark(PDEVICE_OBJECT, PIRP)
{
    return STATUS_PENDING;
}

NTSTATUS NTAPI ReturnWithoutCompleting(PDEVICE_OBJECT, PIRP)
{
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WriteAfterCompleting(PDEVICE_OBJECT, PIRP irp)
{
    Finish(irp, STATUS_SUCCESS);
    irp->IoStatus.Information = 1;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ReturnStatusOfCompletedRequest(PDEVICE_OBJECT, PIRP irp)
{
    Finish(irp, STATUS_SUCCESS);
    return irp->IoStatus.Status;
}

VOID NTAPI CancelAndComplete(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Finish(irp, STATUS_CANCELLED);
}

VOID NTAPI CancelKeepingTheLock(PDEVICE_OBJECT, PIRP)
{
}

TEST_F(IoManager, CompletesADispatchedRequestOnceWithItsStatus)
{
    sim::Request request = sim::SendRequest(IRP_MJ_CLEANUP, file_, CompleteAtOnce);
    EXPECT_EQ(request.DispatchStatus(), STATUS_SUCCESS);
    ASSERT_TRUE(request.Completed());
    EXPECT_EQ(request.FinalStatus().Status, STATUS_SUCCESS);
    EXPECT_EQ(request.PriorityBoost(), IO_NO_INCREMENT);
    EXPECT_FALSE(request.CompletedMarkedPending());
    EXPECT_EQ(sim::CompletedRequestCount(), 1u);
}

TEST_F(IoManager, WaitsForAPendingRequestCompletedOnAnotherThread)
{
    sim::Request request = sim::SendRequest(IRP_MJ_READ, file_, MarkPending);
    EXPECT_EQ(request.DispatchStatus(), STATUS_PENDING);
    EXPECT_FALSE(request.Completed());
    std::thread completer([&] { Finish(request.Irp(), STATUS_SUCCESS, 14); });
    EXPECT_TRUE(request.WaitForCompletion());
    completer.join();
    EXPECT_EQ(request.FinalStatus().Information, 14u);
    EXPECT_TRUE(request.CompletedMarkedPending());
}

TEST_F(IoManager, ReportsARequestNeverCompletedAsLeaked)
{
    sim::Request request = sim::SendRequest(IRP_MJ_READ, file_, MarkPending);
    std::vector<std::string> leaks = sim::Leaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].find("IRP_MJ_READ"), std::string::npos);
    Finish(request.Irp(), STATUS_CANCELLED);
    EXPECT_TRUE(sim::Leaks().empty());
}

TEST_F(IoManager, CatchesASecondCompletion)
{
    sim::Request request = sim::SendRequest(IRP_MJ_CLEANUP, file_, CompleteAtOnce);
    IoCompleteRequest(request.Irp(), IO_NO_INCREMENT);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.double-completion"));
    EXPECT_EQ(sim::CompletedRequestCount(), 1u);
}

TEST_F(IoManager, CatchesCompletionUnderASpinLockOrTheCancelSpinLock)
{
    sim::Request first(IRP_MJ_READ, file_);
    KSPIN_LOCK lock = 0;
    KIRQL irql = KfAcquireSpinLock(&lock);
    Finish(first.Irp(), STATUS_SUCCESS);
    KfReleaseSpinLock(&lock, irql);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.completed-under-spinlock"));

    sim::Request second(IRP_MJ_READ, file_);
    IoAcquireCancelSpinLock(&irql);
    Finish(second.Irp(), STATUS_SUCCESS);
    IoReleaseCancelSpinLock(irql);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.completed-under-spinlock"));
}

TEST_F(IoManager, CatchesPendingReturnedWithoutTheMark)
{
    sim::Request request = sim::SendRequest(IRP_MJ_READ, file_, PendWithoutMark);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.pending-not-marked"));
    Finish(request.Irp(), STATUS_CANCELLED);
}

TEST_F(IoManager, CatchesAStatusReturnedForARequestNotCompleted)
{
    sim::Request request = sim::SendRequest(IRP_MJ_READ, file_, ReturnWithoutCompleting);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.not-completed"));
    Finish(request.Irp(), STATUS_SUCCESS);
}

TEST_F(IoManager, CatchesUseOfACompletedRequest)
{
    sim::SendRequest(IRP_MJ_READ, file_, WriteAfterCompleting);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.used-after-completion"));

    sim::Request request = sim::SendRequest(IRP_MJ_READ, file_, ReturnStatusOfCompletedRequest);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.status-mismatch"));

    IoSetCancelRoutine(request.Irp(), CancelAndComplete);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.used-after-completion"));
    EXPECT_FALSE(IoCancelIrp(request.Irp()));
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.used-after-completion"));
}

TEST_F(IoManager, CatchesMoreInformationThanABufferedControlRequestCanHold)
{
    sim::Request request(IRP_MJ_DEVICE_CONTROL, file_);
    request.Stack()->Parameters.DeviceIoControl.IoControlCode =
        CTL_CODE(0x12, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    request.Stack()->Parameters.DeviceIoControl.OutputBufferLength = 4;
    Finish(request.Irp(), STATUS_SUCCESS, 8);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.information-too-large"));
}

TEST_F(IoManager, CatchesCompletionWithTheCancelRoutineArmed)
{
    sim::Request request(IRP_MJ_READ, file_);
    IoSetCancelRoutine(request.Irp(), CancelAndComplete);
    Finish(request.Irp(), STATUS_SUCCESS);
    EXPECT_TRUE(HasRule(TakeViolations(), "irp.cancel-routine-set"));
}

TEST_F(IoManager, RunsOnCompletionStepsBeforeWaitersSeeTheRequest)
{
    sim::Request request(IRP_MJ_READ, file_);
    ULONG_PTR seen = 0;
    request.OnCompletion([&](PIRP irp) { seen = irp->IoStatus.Information; });
    Finish(request.Irp(), STATUS_SUCCESS, 60);
    EXPECT_EQ(seen, 60u);
}

TEST_F(IoManager, DispatchesThroughTheDriverObjectsTable)
{
    DRIVER_OBJECT driver{};
    driver.MajorFunction[IRP_MJ_CLEANUP] = CompleteAtOnce;
    device_.DriverObject = &driver;
    sim::Request cleanup(IRP_MJ_CLEANUP, file_);
    EXPECT_EQ(cleanup.Dispatch(), STATUS_SUCCESS);
    sim::Request read(IRP_MJ_READ, file_);
    EXPECT_EQ(read.Dispatch(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(read.FinalStatus().Status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(IoManager, CancelsARequestWithoutARoutineByOnlySettingCancel)
{
    sim::Request request(IRP_MJ_READ, file_);
    EXPECT_FALSE(request.Cancel());
    EXPECT_TRUE(request.Irp()->Cancel);
    EXPECT_EQ(sim::HeldSpinLockCount(), 0u);
    Finish(request.Irp(), STATUS_CANCELLED);
    EXPECT_FALSE(request.Cancel());
}

TEST_F(IoManager, CallsTheCancelRoutineWithTheCancelSpinLockHeld)
{
    static size_t heldInRoutine;
    static KIRQL irqlInRoutine;
    static PDEVICE_OBJECT deviceInRoutine;
    struct Routine {
        static VOID NTAPI Cancel(PDEVICE_OBJECT device, PIRP irp)
        {
            heldInRoutine = sim::HeldSpinLockCount();
            irqlInRoutine = KeGetCurrentIrql();
            deviceInRoutine = device;
            CancelAndComplete(device, irp);
        }
    };
    sim::Request request = sim::SendRequest(IRP_MJ_READ, file_, MarkPending);
    IoSetCancelRoutine(request.Irp(), Routine::Cancel);
    EXPECT_TRUE(request.Cancel());
    EXPECT_EQ(heldInRoutine, 1u);
    EXPECT_EQ(irqlInRoutine, DISPATCH_LEVEL);
    EXPECT_EQ(deviceInRoutine, &device_);
    EXPECT_EQ(request.FinalStatus().Status, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IoManager, CatchesACancelRoutineThatKeepsTheCancelSpinLock)
{
    sim::Request request = sim::SendRequest(IRP_MJ_READ, file_, MarkPending);
    IoSetCancelRoutine(request.Irp(), CancelKeepingTheLock);
    EXPECT_TRUE(request.Cancel());
    EXPECT_TRUE(HasRule(TakeViolations(), "cancel.lock-not-released"));
    EXPECT_EQ(sim::HeldSpinLockCount(), 0u);
    Finish(request.Irp(), STATUS_CANCELLED);
}

// Cancellation stopped after it took the routine: whoever exchanges the
// routine now gets NULL and must leave the request to the cancel routine.
TEST_F(IoManager, HookStopsCancellationAfterItTookTheRoutine)
{
    sim::Request request = sim::SendRequest(IRP_MJ_READ, file_, MarkPending);
    IoSetCancelRoutine(request.Irp(), CancelAndComplete);
    rztest::Gate taken;
    rztest::Gate resume;
    sim::SetHook("IoCancelIrp.routine-taken", [&] {
        taken.Open();
        resume.Wait();
    });
    std::thread canceller([&] { EXPECT_TRUE(request.Cancel()); });
    ASSERT_TRUE(taken.Wait());
    EXPECT_EQ(IoSetCancelRoutine(request.Irp(), nullptr), nullptr);
    EXPECT_TRUE(request.Irp()->Cancel);
    EXPECT_FALSE(request.Completed());
    resume.Open();
    canceller.join();
    EXPECT_EQ(request.FinalStatus().Status, STATUS_CANCELLED);
}

}  // namespace
