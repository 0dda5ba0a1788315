// The NDIS 5.0 protocol "rezezura": its characteristics and registration.
#include "bindings/lifecycle.h"
#include "bindings/request.h"
#include "control/status_indication.h"
#include "core/driver.h"
#include "platform/ndis_protocol.h"
#include "relay/receive.h"
#include "relay/send.h"

// A reset needs nothing from the relay: the reset flag follows the status
// indications.
static VOID NTAPI RelayResetComplete(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status)
{
}

NDIS_STATUS RelayRegisterProtocol(DeviceContext *Context)
{
    NDIS50_PROTOCOL_CHARACTERISTICS characteristics;
    NDIS_STATUS status;

    RtlZeroMemory(&characteristics, sizeof(characteristics));
    characteristics.MajorNdisVersion = 5;
    characteristics.MinorNdisVersion = 0;
    RtlInitUnicodeString(&characteristics.Name, RELAY_PROTOCOL_NAME);
    characteristics.OpenAdapterCompleteHandler = RelayOpenAdapterComplete;
    characteristics.CloseAdapterCompleteHandler = RelayCloseAdapterComplete;
    characteristics.SendCompleteHandler = RelaySendComplete;
    characteristics.TransferDataCompleteHandler = RelayTransferDataComplete;
    characteristics.ResetCompleteHandler = RelayResetComplete;
    characteristics.RequestCompleteHandler = RelayRequestComplete;
    characteristics.ReceiveHandler = RelayReceive;
    characteristics.ReceiveCompleteHandler = RelayReceiveComplete;
    characteristics.StatusHandler = RelayStatus;
    characteristics.StatusCompleteHandler = RelayStatusComplete;
    characteristics.ReceivePacketHandler = RelayReceivePacket;
    characteristics.BindAdapterHandler = RelayBindAdapter;
    characteristics.UnbindAdapterHandler = RelayUnbindAdapter;
    characteristics.PnPEventHandler = RelayPnPEvent;
    characteristics.UnloadHandler = RelayProtocolUnload;

    NdisRegisterProtocol(&status, &Context->ProtocolHandle, &characteristics, sizeof(characteristics));
    return status;
}

NDIS_STATUS RelayDeregisterProtocol(NDIS_HANDLE ProtocolHandle)
{
    NDIS_STATUS status;
    NdisDeregisterProtocol(&status, ProtocolHandle);
    return status;
}
