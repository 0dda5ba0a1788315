// A planted fault for the x86 build's image suites: a protocol whose
// plug-and-play handler is written with the C convention, so it leaves its 8
// argument bytes on the stack that NDIS's stdcall call expects it to pop.
#include "platform/io.h"
#include "platform/ndis_protocol.h"
#include "platform/rtl.h"

namespace {

NDIS_HANDLE g_protocol;
NDIS_HANDLE g_binding;
NDIS_MEDIUM g_medium = NdisMedium802_3;

VOID NTAPI Bind(PNDIS_STATUS Status, NDIS_HANDLE BindContext, PNDIS_STRING DeviceName, PVOID SystemSpecific1,
                PVOID SystemSpecific2)
{
    NDIS_STATUS openError;
    UINT medium;
    NdisOpenAdapter(Status, &openError, &g_binding, &medium, &g_medium, 1, g_protocol, nullptr, DeviceName, 0,
                    nullptr);
}

VOID NTAPI Unbind(PNDIS_STATUS Status, NDIS_HANDLE ProtocolBindingContext, NDIS_HANDLE UnbindContext)
{
    NdisCloseAdapter(Status, g_binding);
}

VOID NTAPI OpenComplete(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status, NDIS_STATUS OpenErrorStatus)
{
}

VOID NTAPI CloseComplete(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status)
{
}

NDIS_STATUS CdeclPnPEvent(NDIS_HANDLE ProtocolBindingContext, PNET_PNP_EVENT NetPnPEvent)
{
    return NDIS_STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    NDIS_STATUS status;
    NdisDeregisterProtocol(&status, g_protocol);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NDIS50_PROTOCOL_CHARACTERISTICS characteristics;
    NDIS_STATUS status;

    RtlZeroMemory(&characteristics, sizeof(characteristics));
    characteristics.MajorNdisVersion = 5;
    RtlInitUnicodeString(&characteristics.Name, WIDE("planted"));
    characteristics.BindAdapterHandler = Bind;
    characteristics.UnbindAdapterHandler = Unbind;
    characteristics.OpenAdapterCompleteHandler = OpenComplete;
    characteristics.CloseAdapterCompleteHandler = CloseComplete;
    characteristics.PnPEventHandler = reinterpret_cast<PNP_EVENT_HANDLER>(reinterpret_cast<void *>(&CdeclPnPEvent));
    NdisRegisterProtocol(&status, &g_protocol, &characteristics, sizeof(characteristics));
    if (status != NDIS_STATUS_SUCCESS) {
        return (NTSTATUS)status;
    }
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
