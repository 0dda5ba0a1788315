// NDIS work items: a routine the protocol hands to NDIS to run later at
// PASSIVE_LEVEL in a system worker thread.
#pragma once

#include "platform/ndis.h"

struct _NDIS_WORK_ITEM;

// The kernel's own x86 code is built with stdcall as its default, and NDIS
// calls the routine that way.
typedef VOID(NTAPI *NDIS_PROC)(struct _NDIS_WORK_ITEM *WorkItem, PVOID Context);

typedef struct _NDIS_WORK_ITEM {
    PVOID Context;
    NDIS_PROC Routine;
    UCHAR WrapperReserved[8 * sizeof(PVOID)];  // NDIS's while the item is scheduled
} NDIS_WORK_ITEM, *PNDIS_WORK_ITEM;

X86_LAYOUT_ASSERT(sizeof(NDIS_WORK_ITEM) == 40);

inline VOID NdisInitializeWorkItem(PNDIS_WORK_ITEM WorkItem, NDIS_PROC Routine, PVOID Context)
{
    WorkItem->Context = Context;
    WorkItem->Routine = Routine;
}

extern "C" {
// Queues the item; the routine runs once, later, at PASSIVE_LEVEL. The item
// is the caller's memory and must stay valid until the routine has started.
NDIS_STATUS NTAPI NdisScheduleWorkItem(PNDIS_WORK_ITEM WorkItem);
}
