// What an 802.3 adapter lets through to each open: the open's packet filter
// and its multicast list, kept as NDIS keeps them for a miniport. Every frame
// a wire brings in, and every send looped back, is given to an open only when
// FilterAccepts says so.
#include <algorithm>
#include <cstring>

#include "sim/ndis/ndis_filter.h"
#include "sim/ndis/ndis_world.h"
#include "sim/wire.h"

namespace sim {
namespace {

const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

bool OnList(const std::vector<MacAddress> &list, const uint8_t *address)
{
    return std::any_of(list.begin(), list.end(), [address](const MacAddress &entry) {
        return std::equal(entry.begin(), entry.end(), address);
    });
}

// The addresses the adapter's hardware would have to hold if `open` had `list`.
size_t CombinedCount(const AdapterState &adapter, const OpenRecord &open, const std::vector<MacAddress> &list)
{
    std::vector<MacAddress> combined = list;
    for (const OpenRecord *other : adapter.opens) {
        if (other == &open || other->state == OpenState::Closed || other->state == OpenState::Failed) {
            continue;
        }
        for (const MacAddress &address : other->multicast) {
            if (!OnList(combined, address.data())) {
                combined.push_back(address);
            }
        }
    }
    return combined.size();
}

}  // namespace

bool FilterAccepts(const OpenRecord *open, const uint8_t *frame, size_t length)
{
    ULONG filter = open->packetFilter;
    if (length < 6) {
        return false;
    }
    if (filter & NDIS_PACKET_TYPE_PROMISCUOUS) {
        return true;
    }
    const MacAddress &station = open->adapter->config.stationAddress;
    if (std::equal(station.begin(), station.end(), frame)) {
        return (filter & NDIS_PACKET_TYPE_DIRECTED) != 0;
    }
    if (std::equal(kBroadcast, kBroadcast + 6, frame)) {
        return (filter & NDIS_PACKET_TYPE_BROADCAST) != 0;
    }
    if ((frame[0] & 1) == 0) {
        return false;
    }
    if (filter & NDIS_PACKET_TYPE_ALL_MULTICAST) {
        return true;
    }
    return (filter & NDIS_PACKET_TYPE_MULTICAST) != 0 && OnList(open->multicast, frame);
}

bool KeepsMulticastList(const AdapterState &adapter)
{
    return adapter.config.medium == NdisMedium802_3;
}

NDIS_STATUS SetMulticastList(OpenRecord &open, const void *buffer, UINT length, UINT *bytesNeeded)
{
    if (length % kMacLength != 0) {
        *bytesNeeded = (length / kMacLength + 1) * kMacLength;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    std::vector<MacAddress> list(length / kMacLength);
    if (length != 0) {
        std::memcpy(list.data(), buffer, length);
    }
    // NDIS keeps each address once per open, however often it is given.
    std::vector<MacAddress> unique;
    for (const MacAddress &address : list) {
        if (!OnList(unique, address.data())) {
            unique.push_back(address);
        }
    }
    const AdapterState &adapter = *open.adapter;
    if (unique.size() > adapter.config.multicastListSize ||
        CombinedCount(adapter, open, unique) > adapter.config.multicastListSize) {
        return NDIS_STATUS_MULTICAST_FULL;
    }
    open.multicast = std::move(unique);
    return NDIS_STATUS_SUCCESS;
}

std::vector<uint8_t> MulticastListBytes(const OpenRecord &open)
{
    std::vector<uint8_t> bytes(open.multicast.size() * kMacLength);
    if (!bytes.empty()) {
        std::memcpy(bytes.data(), open.multicast.data(), bytes.size());
    }
    return bytes;
}

std::vector<MacAddress> Adapter::MulticastList() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return state_->opens.empty() ? std::vector<MacAddress>{} : state_->opens.back()->multicast;
}

ReceiveFilter Adapter::CombinedFilter() const
{
    std::lock_guard<std::mutex> guard(World().lock);
    return CombinedFilterOf(*state_);
}

ReceiveFilter CombinedFilterOf(const AdapterState &adapter)
{
    ReceiveFilter combined;
    for (const OpenRecord *open : adapter.opens) {
        if (open->state != OpenState::Open && open->state != OpenState::Closing) {
            continue;
        }
        combined.packetFilter |= open->packetFilter;
        for (const MacAddress &address : open->multicast) {
            if (!OnList(combined.multicast, address.data())) {
                combined.multicast.push_back(address);
            }
        }
    }
    return combined;
}

void UpdateReceiveMode(AdapterState *adapter)
{
    if (adapter->config.wire) {
        adapter->config.wire->FollowReceiveMode(CombinedFilterOf(*adapter));
    }
}

}  // namespace sim
