#include "bench/indicated_packet.h"

#include <cstddef>
#include <cstdlib>


namespace bench {

namespace {
constexpr size_t kReservedRoom = 16 * sizeof(void *);
}

IndicatedPacket::IndicatedPacket(const std::vector<uint8_t> &frame) : bytes_(frame)
{
    size_t oob = (offsetof(NDIS_PACKET, ProtocolReserved) + kReservedRoom + 7) & ~size_t{7};
    packet_ = static_cast<PNDIS_PACKET>(std::calloc(1, oob + sizeof(NDIS_PACKET_OOB_DATA)));
    packet_->Private.NdisPacketOobOffset = static_cast<USHORT>(oob);
    auto address = reinterpret_cast<uintptr_t>(bytes_.data());
    buffer_.Size = static_cast<CSHORT>(sizeof(MDL));
    buffer_.StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t{0xFFF});
    buffer_.ByteOffset = static_cast<ULONG>(address & 0xFFF);
    buffer_.ByteCount = static_cast<ULONG>(bytes_.size());
    buffer_.MdlFlags = MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL;
    buffer_.MappedSystemVa = bytes_.data();
    packet_->Private.Head = &buffer_;
    packet_->Private.Tail = &buffer_;
    packet_->Private.Count = 1;
    packet_->Private.TotalLength = static_cast<UINT>(bytes_.size());
    packet_->Private.ValidCounts = TRUE;
    NDIS_OOB_DATA_FROM_PACKET(packet_)->HeaderSize = 14;
    NDIS_SET_PACKET_STATUS(packet_, NDIS_STATUS_SUCCESS);
}

IndicatedPacket::~IndicatedPacket()
{
    std::free(packet_);
}

}  // namespace bench
