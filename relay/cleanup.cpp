// IRP_MJ_CLEANUP: the client's last handle to a file is closing; every wait
// and read it left queued ends with STATUS_CANCELLED. The file stays attached
// to its binding until close.
#include "relay/queue.h"

NTSTATUS NTAPI RelayDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    AdapterBinding *binding =
        (AdapterBinding *)InterlockedCompareExchangePointer(&fileObject->FsContext, NULL, NULL);
    if (binding != NULL) {
        LIST_ENTRY collected;
        InitializeListHead(&collected);
        RelayCollectRequests(&binding->ConnectWaitQueue, binding, fileObject, &collected);
        RelayCollectRequests(&binding->DisconnectWaitQueue, binding, fileObject, &collected);
        RelayCollectRequests(&binding->MediaSpecificWaitQueue, binding, fileObject, &collected);
        RelayCollectRequests(&binding->ReadQueue, binding, fileObject, &collected);
        RelayCompleteCollectedRequests(&collected, STATUS_CANCELLED);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
