// A wire behind a simulated adapter: the medium its frames, its answers
// about the medium and its link state come from, where the test's scripted
// wire is not enough (a Linux interface, in host/).
//
// The adapter keeps everything NDIS does for a miniport: opens, per-open
// packet filters, indications, the close rules, the requests a protocol
// configures itself with. The wire only
//   - puts each packet a protocol sends on the medium, and its answer
//     completes the send at once;
//   - answers queries about the medium (addresses, media connect status,
//     frame size, link speed) before the adapter's own answers;
//   - follows the receive mode the adapter's opens ask for together, so
//     that the medium delivers what any of them takes;
// and gives the adapter what it receives through Adapter::DeliverFrame and
// its link changes through Adapter::IndicateStatus.
//
// Query and FollowReceiveMode are called with the NDIS world's lock held,
// Transmit without it, from the sending thread; none may call back into the
// sim.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/ndis.h"
#include "sim/ndis.h"

namespace sim {

// One piece of a frame being sent: the memory of one buffer of the packet.
struct WirePiece {
    const uint8_t *bytes;
    size_t length;
};

class Wire {
public:
    virtual ~Wire() = default;
    // Puts one frame on the medium; the status completes its send.
    virtual NDIS_STATUS Transmit(const std::vector<WirePiece> &frame) = 0;
    // The medium's answer to a query, or nothing when the adapter answers by itself.
    virtual std::optional<std::vector<uint8_t>> Query(NDIS_OID oid) = 0;
    // What the opens let in together changed (Adapter::CombinedFilter).
    virtual void FollowReceiveMode(const ReceiveFilter &mode) = 0;
};

}  // namespace sim
