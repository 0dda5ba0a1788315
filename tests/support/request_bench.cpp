#include "tests/support/request_bench.h"

#include <gtest/gtest.h>

#include "bindings/request.h"

namespace rztest {
namespace {

NDIS_HANDLE g_protocol = nullptr;
NDIS_HANDLE g_bindingHandle = nullptr;

VOID NTAPI BenchBind(PNDIS_STATUS Status, NDIS_HANDLE, PNDIS_STRING DeviceName, PVOID, PVOID)
{
    NDIS_MEDIUM medium = NdisMedium802_3;
    NDIS_STATUS openError = NDIS_STATUS_SUCCESS;
    UINT index = 0;
    NdisOpenAdapter(Status, &openError, &g_bindingHandle, &index, &medium, 1, g_protocol, nullptr,
                    DeviceName, 0, nullptr);
}

VOID NTAPI BenchUnbind(PNDIS_STATUS Status, NDIS_HANDLE, NDIS_HANDLE)
{
    NdisCloseAdapter(Status, g_bindingHandle);
}

VOID NTAPI BenchOpenComplete(NDIS_HANDLE, NDIS_STATUS, NDIS_STATUS) {}
VOID NTAPI BenchCloseComplete(NDIS_HANDLE, NDIS_STATUS) {}

sim::Adapter Arrive(const sim::AdapterConfig &config)
{
    NDIS50_PROTOCOL_CHARACTERISTICS characteristics{};
    characteristics.MajorNdisVersion = 5;
    characteristics.MinorNdisVersion = 0;
    RtlInitUnicodeString(&characteristics.Name, u"bench");
    characteristics.BindAdapterHandler = BenchBind;
    characteristics.UnbindAdapterHandler = BenchUnbind;
    characteristics.OpenAdapterCompleteHandler = BenchOpenComplete;
    characteristics.CloseAdapterCompleteHandler = BenchCloseComplete;
    characteristics.RequestCompleteHandler = RelayRequestComplete;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NdisRegisterProtocol(&status, &g_protocol, &characteristics, sizeof characteristics);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    return sim::AddAdapter(config);
}

}  // namespace

RequestBench::RequestBench(const sim::AdapterConfig &config) : adapter_(Arrive(config))
{
    protocol_ = g_protocol;
    EXPECT_EQ(adapter_.LatestBind().Result(), NDIS_STATUS_SUCCESS);
}

RequestBench::~RequestBench()
{
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NdisDeregisterProtocol(&status, protocol_);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    g_protocol = nullptr;
    g_bindingHandle = nullptr;
}

NDIS_HANDLE RequestBench::BindingHandle() const
{
    return g_bindingHandle;
}

}  // namespace rztest
