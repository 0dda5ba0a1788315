// The stack's set-power on an adapter. Going below D0, NDIS tells the bound
// protocols first (NetEventSetPower) and then powers the adapter down; from
// then on it holds the requests and sends made on it. Coming back, the
// adapter is at D0 before the held work goes to it in order, and the
// protocols are told last.
#include <cstring>

#include "sim/ndis/ndis_world.h"

namespace sim {

NDIS_STATUS IndicateAdapterPnPEvent(AdapterState *adapter, NET_PNP_EVENT_CODE code,
                                    std::vector<uint8_t> &buffer);

NDIS_STATUS Adapter::SetPower(NDIS_DEVICE_POWER_STATE state)
{
    std::vector<uint8_t> buffer(sizeof(ULONG));
    ULONG value = static_cast<ULONG>(state);
    std::memcpy(buffer.data(), &value, sizeof value);
    if (state != NdisDeviceStateD0) {
        NDIS_STATUS status = IndicateAdapterPnPEvent(state_, NetEventSetPower, buffer);
        std::lock_guard<std::mutex> guard(World().lock);
        state_->power = state;
        return status;
    }
    std::vector<HeldSend> held;
    {
        NdisWorld &world = World();
        std::lock_guard<std::mutex> guard(world.lock);
        state_->power = NdisDeviceStateD0;
        held.swap(state_->traffic.heldSends);
        ResumeRequests(*state_);
        world.changed.notify_all();
    }
    ReleaseHeldSends(std::move(held));
    return IndicateAdapterPnPEvent(state_, NetEventSetPower, buffer);
}

NDIS_DEVICE_POWER_STATE Adapter::Power() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return state_->power;
}

}  // namespace sim
