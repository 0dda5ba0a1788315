#include "tests/support/pending_requests.h"

#include <gtest/gtest.h>

#include "core/driver.h"
#include "relay/queue.h"

namespace rztest {
namespace {

NTSTATUS Queue(PIRP irp, IrpQueue AdapterBinding::*queue, PDRIVER_CANCEL cancelRoutine)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    auto *binding =
        static_cast<AdapterBinding *>(InterlockedCompareExchangePointer(&file->FsContext, nullptr, nullptr));
    NTSTATUS status = RelayEnqueueRequest(&(binding->*queue), binding, irp, cancelRoutine);
    if (status == STATUS_CANCELLED) {
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return status;
}

}  // namespace

sim::File AttachFile(PDEVICE_OBJECT device, AdapterBinding *binding)
{
    sim::File file(device);
    RelayReferenceBinding(binding);
    file.Object()->FsContext = binding;
    return file;
}

void CloseAttachedFile(const sim::File &file)
{
    sim::Request close(IRP_MJ_CLOSE, file);
    EXPECT_EQ(close.Dispatch(RelayDispatchClose), STATUS_SUCCESS);
}

NTSTATUS NTAPI QueueRead(PDEVICE_OBJECT, PIRP irp)
{
    return Queue(irp, &AdapterBinding::ReadQueue, RelayCancelRead);
}

NTSTATUS NTAPI QueueConnectWait(PDEVICE_OBJECT, PIRP irp)
{
    return Queue(irp, &AdapterBinding::ConnectWaitQueue, RelayCancelConnectWait);
}

NTSTATUS NTAPI QueueDisconnectWait(PDEVICE_OBJECT, PIRP irp)
{
    return Queue(irp, &AdapterBinding::DisconnectWaitQueue, RelayCancelDisconnectWait);
}

NTSTATUS NTAPI QueueMediaSpecificWait(PDEVICE_OBJECT, PIRP irp)
{
    return Queue(irp, &AdapterBinding::MediaSpecificWaitQueue, RelayCancelMediaSpecificWait);
}

sim::Request NewPendingRequest(const sim::File &file, PDRIVER_DISPATCH queue)
{
    return sim::Request(queue == QueueRead ? IRP_MJ_READ : IRP_MJ_DEVICE_CONTROL, file);
}

size_t QueuedRequestCount(const IrpQueue &queue)
{
    size_t count = 0;
    for (const LIST_ENTRY *entry = queue.PendingList.Flink; entry != &queue.PendingList;
         entry = entry->Flink) {
        ++count;
    }
    return count;
}

}  // namespace rztest
