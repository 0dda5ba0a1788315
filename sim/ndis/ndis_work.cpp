// NdisScheduleWorkItem: the routine runs later on the system worker thread,
// at PASSIVE_LEVEL, outside the context that scheduled it. NDIS holds nothing
// for it: the driver must not unload while one of its items is queued or running.
#include "platform/ndis_work.h"
#include "sim/io/driver_call.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/ex/system_worker.h"
#include "sim/verifier.h"

namespace {

// The item may be freed by its own routine: nothing of it is read after the call.
void RunItem(PNDIS_WORK_ITEM item)
{
    sim::HookPoint("NdisWorkItem.run");
    NDIS_PROC routine = item->Routine;
    sim::CallDriver("work item routine", routine, item, item->Context);
    sim::CheckWorkRoutineReturn("NdisScheduleWorkItem");
}

}  // namespace

extern "C" {

NDIS_STATUS NTAPI NdisScheduleWorkItem(PNDIS_WORK_ITEM WorkItem)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisScheduleWorkItem");
    sim::HookPoint("NdisScheduleWorkItem");
    if (WorkItem == nullptr || WorkItem->Routine == nullptr) {
        sim::Violation("workitem.no-routine", "NdisScheduleWorkItem", "no work item or no routine");
        return NDIS_STATUS_FAILURE;
    }
    if (!sim::QueueSystemWork(WorkItem, sim::WorkKind::Ndis, [WorkItem] { RunItem(WorkItem); })) {
        sim::Violation("workitem.already-queued", "NdisScheduleWorkItem",
                       "the work item is scheduled again before its routine started");
        return NDIS_STATUS_FAILURE;
    }
    return NDIS_STATUS_SUCCESS;
}

}  // extern "C"
