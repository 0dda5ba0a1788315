// I/O work items: allocated on a device object, queued to the system worker
// thread with a reference on that object, which the routine's return drops.
#include <cstdio>
#include <mutex>
#include <set>

#include "platform/io_work.h"
#include "sim/device_objects.h"
#include "sim/io/driver_call.h"
#include "sim/faults.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/ex/system_worker.h"
#include "sim/verifier.h"
#include "sim/ex/work_internal.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
};

namespace sim {
namespace {

std::mutex g_lock;
std::set<PIO_WORKITEM> g_items;

bool IsAllocated(PIO_WORKITEM item)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_items.count(item) != 0;
}

// The routine may free its item, so nothing of the item is read here.
void RunRoutine(PDEVICE_OBJECT device, PIO_WORKITEM_ROUTINE routine, PVOID context)
{
    HookPoint("IoWorkItem.run");
    CallDriver("I/O work item routine", routine, device, context);
    CheckWorkRoutineReturn("IoQueueWorkItem");
}

}  // namespace

void ResetIoWorkItems()
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (PIO_WORKITEM item : g_items) {
        delete item;
    }
    g_items.clear();
}

void AppendIoWorkItemLeaks(std::vector<std::string> &leaks)
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (PIO_WORKITEM item : g_items) {
        char text[80];
        std::snprintf(text, sizeof text, "I/O work item %p allocated and never freed",
                      static_cast<void *>(item));
        leaks.push_back(text);
    }
}

}  // namespace sim

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (!sim::IsLiveDeviceObject(DeviceObject)) {
        sim::Violation("ioworkitem.no-device", "IoAllocateWorkItem", "not a live device object");
        return nullptr;
    }
    if (sim::ShouldFail("IoAllocateWorkItem")) {
        return nullptr;
    }
    auto *item = new _IO_WORKITEM{DeviceObject};
    std::lock_guard<std::mutex> guard(sim::g_lock);
    sim::g_items.insert(item);
    return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    sim::HookPoint("IoQueueWorkItem");
    if (!sim::IsAllocated(IoWorkItem)) {
        sim::Violation("ioworkitem.unknown", "IoQueueWorkItem", "not an allocated I/O work item");
        return;
    }
    if (WorkerRoutine == nullptr) {
        sim::Violation("ioworkitem.no-routine", "IoQueueWorkItem", "no routine");
        return;
    }
    if (QueueType != CriticalWorkQueue && QueueType != DelayedWorkQueue && QueueType != HyperCriticalWorkQueue) {
        sim::Violation("ioworkitem.bad-queue", "IoQueueWorkItem",
                       "queue type " + std::to_string(QueueType) + " is none of the work queues");
        return;
    }
    PDEVICE_OBJECT device = IoWorkItem->device;
    sim::ReferenceDeviceObject(device);
    if (!sim::QueueSystemWork(
            IoWorkItem, sim::WorkKind::Io,
            [device, WorkerRoutine, Context] { sim::RunRoutine(device, WorkerRoutine, Context); },
            [device] { sim::DereferenceDeviceObject(device); })) {
        sim::DereferenceDeviceObject(device);
        sim::Violation("ioworkitem.already-queued", "IoQueueWorkItem",
                       "the work item is queued again before its routine started");
    }
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    if (sim::SystemWorkQueued(IoWorkItem)) {
        sim::Violation("ioworkitem.freed-while-queued", "IoFreeWorkItem",
                       "the work item is freed before its routine started");
        return;
    }
    {
        std::lock_guard<std::mutex> guard(sim::g_lock);
        if (sim::g_items.erase(IoWorkItem) == 0) {
            sim::Violation("ioworkitem.unknown", "IoFreeWorkItem", "not an allocated I/O work item");
            return;
        }
    }
    delete IoWorkItem;
}

}  // extern "C"
