#include "tests/support/relay_protocol.h"

#include <gtest/gtest.h>

#include "bindings/lifecycle.h"
#include "bindings/request.h"
#include "control/status_indication.h"
#include "relay/receive.h"
#include "relay/send.h"

namespace rztest {

RelayProtocol::RelayProtocol()
{
    RelayInitDeviceContext(&context_);
    device_.DeviceExtension = &context_;
    ControlDeviceObject = &device_;

    NDIS50_PROTOCOL_CHARACTERISTICS characteristics{};
    characteristics.MajorNdisVersion = 5;
    characteristics.MinorNdisVersion = 0;
    RtlInitUnicodeString(&characteristics.Name, WIDE("rezezura"));
    characteristics.OpenAdapterCompleteHandler = RelayOpenAdapterComplete;
    characteristics.CloseAdapterCompleteHandler = RelayCloseAdapterComplete;
    characteristics.RequestCompleteHandler = RelayRequestComplete;
    characteristics.StatusHandler = RelayStatus;
    characteristics.StatusCompleteHandler = RelayStatusComplete;
    characteristics.SendCompleteHandler = RelaySendComplete;
    characteristics.TransferDataCompleteHandler = RelayTransferDataComplete;
    characteristics.ReceiveHandler = RelayReceive;
    characteristics.ReceiveCompleteHandler = RelayReceiveComplete;
    characteristics.ReceivePacketHandler = RelayReceivePacket;
    characteristics.BindAdapterHandler = RelayBindAdapter;
    characteristics.UnbindAdapterHandler = RelayUnbindAdapter;
    characteristics.PnPEventHandler = RelayPnPEvent;
    characteristics.UnloadHandler = RelayProtocolUnload;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NdisRegisterProtocol(&status, &context_.ProtocolHandle, &characteristics,
                         sizeof characteristics);
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
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NdisDeregisterProtocol(&status, context_.ProtocolHandle);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
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
