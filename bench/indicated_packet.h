// A packet as a miniport indicates it to a protocol's receive-packet handler:
// the frame in one buffer already mapped into system space, the packet's
// status NDIS_STATUS_SUCCESS, room for the protocols' reserved areas.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/mm.h"
#include "platform/ndis_packet.h"

namespace bench {

class IndicatedPacket {
public:
    explicit IndicatedPacket(const std::vector<uint8_t> &frame);
    ~IndicatedPacket();
    IndicatedPacket(const IndicatedPacket &) = delete;
    IndicatedPacket &operator=(const IndicatedPacket &) = delete;

    PNDIS_PACKET Packet() const { return packet_; }

private:
    std::vector<uint8_t> bytes_;
    MDL buffer_{};  // the miniport's own, as its receive buffers are
    PNDIS_PACKET packet_ = nullptr;
};

}  // namespace bench
