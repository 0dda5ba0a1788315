// BindingList: where bound adapters are published and clients find them by
// name. The list holds one RefCount reference on each binding in it; the lock
// guards the links only, and no binding is ever freed while it is held.
#include "bindings/binding.h"

void RelayInsertBinding(DeviceContext *Context, AdapterBinding *Binding)
{
    RelayReferenceBinding(Binding);
    Context->BindingListLock.OldIrql = KfAcquireSpinLock(&Context->BindingListLock.SpinLock);
    InsertTailList(&Context->BindingList, &Binding->Link);
    KfReleaseSpinLock(&Context->BindingListLock.SpinLock, Context->BindingListLock.OldIrql);
}

void RelayRemoveBinding(DeviceContext *Context, AdapterBinding *Binding)
{
    Context->BindingListLock.OldIrql = KfAcquireSpinLock(&Context->BindingListLock.SpinLock);
    RemoveEntryList(&Binding->Link);
    KfReleaseSpinLock(&Context->BindingListLock.SpinLock, Context->BindingListLock.OldIrql);
    RelayDereferenceBinding(Binding);
}

// Exact, case-sensitive: the same Length and the same bytes.
static BOOLEAN RelayNameMatches(const UNICODE_STRING *Stored, PNDIS_STRING Name)
{
    if (Stored->Length != Name->Length) {
        return FALSE;
    }
    return RtlCompareMemory(Stored->Buffer, Name->Buffer, Name->Length) == Name->Length;
}

AdapterBinding *RelayLookupBinding(DeviceContext *Context, PNDIS_STRING Name)
{
    AdapterBinding *found = NULL;
    PLIST_ENTRY entry;

    Context->BindingListLock.OldIrql = KfAcquireSpinLock(&Context->BindingListLock.SpinLock);
    for (entry = Context->BindingList.Flink; entry != &Context->BindingList; entry = entry->Flink) {
        AdapterBinding *binding = CONTAINING_RECORD(entry, AdapterBinding, Link);
        if (RelayNameMatches(&binding->DeviceName, Name)) {
            RelayReferenceBinding(binding);
            found = binding;
            break;
        }
    }
    KfReleaseSpinLock(&Context->BindingListLock.SpinLock, Context->BindingListLock.OldIrql);
    return found;
}
