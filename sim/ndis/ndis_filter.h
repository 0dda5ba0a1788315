// Which frames an adapter gives each open (sim/ndis/ndis_filter.cpp), for the
// sim's receive and loopback paths and its answers to the multicast OIDs.
// Call each with the NDIS world's lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/ndis.h"
#include "sim/ndis.h"

namespace sim {

struct AdapterState;
struct OpenRecord;

// Whether the open's packet filter, and its multicast list, take a frame
// with this destination.
bool FilterAccepts(const OpenRecord *open, const uint8_t *frame, size_t length);
inline bool FilterAccepts(const OpenRecord *open, const std::vector<uint8_t> &frame)
{
    return FilterAccepts(open, frame.data(), frame.size());
}

// What the adapter's opens not closed let in together.
ReceiveFilter CombinedFilterOf(const AdapterState &adapter);
// Tells the adapter's wire, if it has one, what its opens now let in.
void UpdateReceiveMode(AdapterState *adapter);

// Whether the adapter's medium has multicast lists (802.3 only).
bool KeepsMulticastList(const AdapterState &adapter);
// OID_802_3_MULTICAST_LIST set on an open: the whole list replaced, or
// NDIS_STATUS_INVALID_LENGTH for a length that is no multiple of an address,
// or NDIS_STATUS_MULTICAST_FULL past the adapter's list size.
NDIS_STATUS SetMulticastList(OpenRecord &open, const void *buffer, UINT length, UINT *bytesNeeded);
// The open's list as OID_802_3_MULTICAST_LIST answers a query.
std::vector<uint8_t> MulticastListBytes(const OpenRecord &open);

}  // namespace sim
