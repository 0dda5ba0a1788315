// Packet and buffer pools as NDIS keeps them, and the MDLs behind NDIS buffers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/ndis_packet.h"

// Hook point (sim/hooks.h): "NdisAllocatePacket", on entry, before the pool is looked at.

namespace sim {

// Packets taken from a packet pool and not yet returned.
size_t PacketsInUse(NDIS_HANDLE PacketPool);
// The pool a packet came from (the handle NdisAllocatePacketPoolEx gave out).
NDIS_HANDLE PoolOfPacket(PNDIS_PACKET Packet);
// The ProtocolReservedLength a packet pool was created with.
size_t PacketPoolReservedLength(NDIS_HANDLE PacketPool);

// Whether a packet is out of its pool, and an MDL allocated and not yet
// freed: what the sim may still read of them.
bool IsLivePacket(PNDIS_PACKET Packet);
bool IsLiveMdl(PMDL Mdl);

// An MDL over `length` bytes at `address`, as the I/O manager builds for a
// locked caller buffer: not yet mapped to a system address.
PMDL AllocateLockedMdl(void *address, ULONG length);

// Live pools, packets and pooled buffers, one line each, for the leak report.
std::vector<std::string> NdisPoolLeaks();
// Forgets everything still allocated (after it was reported).
void ReleaseAllNdisPools();

}  // namespace sim
