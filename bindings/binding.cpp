// The binding record: allocation with its name copy, pools, queues and close
// work item, release, and the RefCount references that keep its memory.
#include "bindings/binding.h"

static void RelayInitIrpQueue(IrpQueue *Queue)
{
    InitializeListHead(&Queue->PendingList);
    KeInitializeSpinLock(&Queue->Lock);
}

NDIS_STATUS RelayAllocateBinding(AdapterBinding **Binding, PNDIS_STRING DeviceName,
                                 NDIS_HANDLE BindContext)
{
    AdapterBinding *binding = NULL;
    NDIS_STATUS status;

    *Binding = NULL;
    // Refused before anything is allocated: a longer name cannot be held
    // with its NUL in a counted string.
    if (DeviceName->Length > RELAY_MAX_DEVICE_NAME_LENGTH) {
        return NDIS_STATUS_INVALID_LENGTH;
    }

    status = NdisAllocateMemoryWithTag((PVOID *)&binding, sizeof(AdapterBinding), RELAY_POOL_TAG);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    RtlZeroMemory(binding, sizeof(AdapterBinding));
    RelayReferenceBinding(binding);
    binding->DeviceName.Length = 0;
    binding->DeviceName.MaximumLength = 0;
    binding->DeviceName.Buffer = NULL;
    binding->BindContext = BindContext;
    binding->BindStatus = NDIS_STATUS_SUCCESS;
    binding->PowerState = NdisDeviceStateD0;
    binding->Flags = 0;
    RelayInitIrpQueue(&binding->ConnectWaitQueue);
    RelayInitIrpQueue(&binding->DisconnectWaitQueue);
    RelayInitIrpQueue(&binding->MediaSpecificWaitQueue);
    RelayInitIrpQueue(&binding->ReadQueue);

    binding->DeviceName.MaximumLength = (USHORT)(DeviceName->Length + sizeof(WCHAR));
    status = NdisAllocateMemoryWithTag((PVOID *)&binding->DeviceName.Buffer,
                                       binding->DeviceName.MaximumLength, RELAY_POOL_TAG);
    if (status != NDIS_STATUS_SUCCESS) {
        binding->DeviceName.Buffer = NULL;
        binding->DeviceName.MaximumLength = 0;
        RelayDereferenceBinding(binding);
        return status;
    }
    binding->DeviceName.Length = DeviceName->Length;
    if (DeviceName->Length != 0) {
        RtlCopyMemory(binding->DeviceName.Buffer, DeviceName->Buffer, DeviceName->Length);
    }
    binding->DeviceName.Buffer[DeviceName->Length / sizeof(WCHAR)] = 0;

    NdisAllocatePacketPoolEx(&status, &binding->RecvPacketPool, 4, 8, RELAY_RECV_PACKET_RESERVED);
    if (status != NDIS_STATUS_SUCCESS) {
        binding->RecvPacketPool = NULL;
        RelayDereferenceBinding(binding);
        return status;
    }
    NdisAllocateBufferPool(&status, &binding->RecvBufferPool, 12);
    if (status != NDIS_STATUS_SUCCESS) {
        binding->RecvBufferPool = NULL;
        RelayDereferenceBinding(binding);
        return status;
    }
    NdisAllocatePacketPoolEx(&status, &binding->SendPacketPool, 4, 8, RELAY_SEND_PACKET_RESERVED);
    if (status != NDIS_STATUS_SUCCESS) {
        binding->SendPacketPool = NULL;
        RelayDereferenceBinding(binding);
        return status;
    }
    NdisAllocateBufferPool(&status, &binding->SendBufferPool, 12);
    if (status != NDIS_STATUS_SUCCESS) {
        binding->SendBufferPool = NULL;
        RelayDereferenceBinding(binding);
        return status;
    }
    binding->CloseWorkItem = IoAllocateWorkItem(ControlDeviceObject);
    if (binding->CloseWorkItem == NULL) {
        RelayDereferenceBinding(binding);
        return NDIS_STATUS_RESOURCES;
    }

    *Binding = binding;
    return NDIS_STATUS_SUCCESS;
}

void RelayFreeBinding(AdapterBinding *Binding)
{
    if (Binding == NULL) {
        return;
    }
    // The close worker may be the one freeing the record, from inside the
    // item's own routine, which the I/O manager allows.
    if (Binding->CloseWorkItem != NULL) {
        IoFreeWorkItem(Binding->CloseWorkItem);
    }
    if (Binding->SendBufferPool != NULL) {
        NdisFreeBufferPool(Binding->SendBufferPool);
    }
    if (Binding->SendPacketPool != NULL) {
        NdisFreePacketPool(Binding->SendPacketPool);
        Binding->SendPacketPool = NULL;
    }
    if (Binding->RecvBufferPool != NULL) {
        NdisFreeBufferPool(Binding->RecvBufferPool);
    }
    if (Binding->RecvPacketPool != NULL) {
        NdisFreePacketPool(Binding->RecvPacketPool);
        Binding->RecvPacketPool = NULL;
    }
    if (Binding->DeviceName.Buffer != NULL) {
        NdisFreeMemory(Binding->DeviceName.Buffer, 0, 0);
        Binding->DeviceName.Buffer = NULL;
        Binding->DeviceName.Length = 0;
        Binding->DeviceName.MaximumLength = 0;
    }
    NdisFreeMemory(Binding, 0, 0);
}

LONG RelayReferenceBinding(AdapterBinding *Binding)
{
    return InterlockedIncrement(&Binding->RefCount);
}

LONG RelayDereferenceBinding(AdapterBinding *Binding)
{
    LONG count = InterlockedDecrement(&Binding->RefCount);
    if (count == 0) {
        RelayFreeBinding(Binding);
    }
    return count;
}
