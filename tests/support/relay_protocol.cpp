#include "tests/support/relay_protocol.h"

#include <gtest/gtest.h>

#include "core/driver.h"

namespace rztest {

RelayProtocol::RelayProtocol()
{
    if (Device() == nullptr) {
        return;
    }
    NDIS_STATUS status = RelayRegisterProtocol(&Context());
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    registered_ = status == NDIS_STATUS_SUCCESS;
}

RelayProtocol::~RelayProtocol()
{
    Deregister();
}

void RelayProtocol::Deregister()
{
    if (!registered_) {
        return;
    }
    EXPECT_EQ(RelayDeregisterProtocol(Context().ProtocolHandle), NDIS_STATUS_SUCCESS);
    registered_ = false;
}

AdapterBinding *RelayProtocol::Lookup(const sim::Adapter &adapter)
{
    std::u16string name = adapter.Name();
    NDIS_STRING counted;
    counted.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
    counted.Buffer = name.data();
    return RelayLookupBinding(&Context(), &counted);
}

size_t RelayProtocol::ListedCount()
{
    DeviceContext &context = Context();
    size_t count = 0;
    KIRQL irql = KfAcquireSpinLock(&context.BindingListLock.SpinLock);
    for (PLIST_ENTRY entry = context.BindingList.Flink; entry != &context.BindingList; entry = entry->Flink) {
        ++count;
    }
    KfReleaseSpinLock(&context.BindingListLock.SpinLock, irql);
    return count;
}

}  // namespace rztest
