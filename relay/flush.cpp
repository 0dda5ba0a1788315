// The adapter of a binding is gone: every request still queued on it ends.
#include "relay/queue.h"

void RelayFlushBindingRequests(AdapterBinding *Binding, NTSTATUS Status)
{
    LIST_ENTRY collected;
    InitializeListHead(&collected);
    RelayCollectRequests(&Binding->ConnectWaitQueue, Binding, NULL, &collected);
    RelayCollectRequests(&Binding->DisconnectWaitQueue, Binding, NULL, &collected);
    RelayCollectRequests(&Binding->MediaSpecificWaitQueue, Binding, NULL, &collected);
    RelayCollectRequests(&Binding->ReadQueue, Binding, NULL, &collected);
    RelayCompleteCollectedRequests(&collected, Status);
}
