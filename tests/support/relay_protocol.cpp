#include "tests/support/relay_protocol.h"

#include <gtest/gtest.h>

#include "core/driver.h"

namespace rztest {

RelayProtocol::RelayProtocol()
{
    RelayInitDeviceContext(&context_);
    device_.DeviceExtension = &context_;
    ControlDeviceObject = &device_;

    NDIS_STATUS status = RelayRegisterProtocol(&context_);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    registered_ = status == NDIS_STATUS_SUCCESS;
}

RelayProtocol::~RelayProtocol()
{
    Deregister();
    ControlDeviceObject = nullptr;
}

void RelayProtocol::Deregister()
{
    if (!registered_) {
        return;
    }
    EXPECT_EQ(RelayDeregisterProtocol(context_.ProtocolHandle), NDIS_STATUS_SUCCESS);
    registered_ = false;
}

AdapterBinding *RelayProtocol::Lookup(const sim::Adapter &adapter)
{
    std::u16string name = adapter.Name();
    NDIS_STRING counted;
    counted.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
    counted.Buffer = name.data();
    return RelayLookupBinding(&context_, &counted);
}

size_t RelayProtocol::ListedCount()
{
    size_t count = 0;
    KIRQL irql = KfAcquireSpinLock(&context_.BindingListLock.SpinLock);
    for (PLIST_ENTRY entry = context_.BindingList.Flink; entry != &context_.BindingList;
         entry = entry->Flink) {
        ++count;
    }
    KfReleaseSpinLock(&context_.BindingListLock.SpinLock, irql);
    return count;
}

}  // namespace rztest
