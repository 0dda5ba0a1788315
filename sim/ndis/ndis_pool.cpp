// Packet pools with their capacity (descriptors plus overflow descriptors),
// buffer pools whose buffers are MDLs over nonpaged memory, and the packet
// operations NDIS exports.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "sim/counters.h"
#include "sim/faults.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/ndis_pools.h"
#include "sim/pool.h"
#include "sim/verifier.h"

namespace sim {

bool ForgetMdl(PMDL mdl);

namespace {

struct PacketPool {
    UINT capacity;
    UINT reservedLength;
    std::set<PNDIS_PACKET> live;
};

struct BufferPool {
    std::set<PMDL> live;
};

std::mutex g_lock;
std::set<PacketPool *> g_packetPools;
std::set<BufferPool *> g_bufferPools;
std::map<PMDL, BufferPool *> g_bufferOwner;

// A protocol sizes its reserved area for the 32-bit target, where its
// records hold 4-byte pointers; on a wider host the same records need up to
// twice the room, so the area grows with the pointer size.
size_t OobOffset(UINT reservedLength)
{
    size_t room = size_t{std::max<UINT>(reservedLength, 1)} * sizeof(void *) / 4;
    size_t end = offsetof(NDIS_PACKET, ProtocolReserved) + room;
    return (end + 7) & ~size_t{7};
}

std::string Pointer(const void *p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

}  // namespace

size_t PacketsInUse(NDIS_HANDLE PacketPoolHandle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto *pool = static_cast<PacketPool *>(PacketPoolHandle);
    return g_packetPools.count(pool) ? pool->live.size() : 0;
}

bool IsLivePacket(PNDIS_PACKET Packet)
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (PacketPool *pool : g_packetPools) {
        if (pool->live.count(Packet) != 0) {
            return true;
        }
    }
    return false;
}

NDIS_HANDLE PoolOfPacket(PNDIS_PACKET Packet)
{
    return Packet->Private.Pool;
}

size_t PacketPoolReservedLength(NDIS_HANDLE PacketPoolHandle)
{
    return static_cast<PacketPool *>(PacketPoolHandle)->reservedLength;
}

void ForgetPooledBuffer(PMDL mdl)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto owner = g_bufferOwner.find(mdl);
    if (owner != g_bufferOwner.end()) {
        owner->second->live.erase(mdl);
        g_bufferOwner.erase(owner);
    }
}

bool IsPooledBuffer(PMDL mdl)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_bufferOwner.count(mdl) != 0;
}

std::vector<std::string> NdisPoolLeaks()
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::string> leaks;
    for (PacketPool *pool : g_packetPools) {
        leaks.push_back("packet pool " + Pointer(pool) + " with " + std::to_string(pool->live.size()) +
                        " packets in use");
    }
    for (BufferPool *pool : g_bufferPools) {
        leaks.push_back("buffer pool " + Pointer(pool) + " with " + std::to_string(pool->live.size()) +
                        " buffers in use");
    }
    return leaks;
}

void ReleaseAllNdisPools()
{
    std::lock_guard<std::mutex> guard(g_lock);
    for (PacketPool *pool : g_packetPools) {
        for (PNDIS_PACKET packet : pool->live) {
            std::free(packet);
        }
        delete pool;
    }
    for (BufferPool *pool : g_bufferPools) {
        for (PMDL mdl : pool->live) {
            ForgetMdl(mdl);
            delete mdl;
        }
        delete pool;
    }
    g_packetPools.clear();
    g_bufferPools.clear();
    g_bufferOwner.clear();
}

}  // namespace sim

using sim::BufferPool;
using sim::PacketPool;

extern "C" {

VOID NTAPI NdisAllocatePacketPoolEx(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                    UINT NumberOfDescriptors, UINT NumberOfOverflowDescriptors,
                                    UINT ProtocolReservedLength)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocatePacketPoolEx");
    *PoolHandle = nullptr;
    if (sim::ShouldFail("NdisAllocatePacketPoolEx")) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto *pool = new PacketPool{NumberOfDescriptors + NumberOfOverflowDescriptors, ProtocolReservedLength, {}};
    std::lock_guard<std::mutex> guard(sim::g_lock);
    sim::g_packetPools.insert(pool);
    *PoolHandle = pool;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreePacketPool");
    auto *pool = static_cast<PacketPool *>(PoolHandle);
    std::lock_guard<std::mutex> guard(sim::g_lock);
    if (sim::g_packetPools.erase(pool) == 0) {
        sim::Violation("ndis.pool-double-free", "NdisFreePacketPool", "not a live packet pool");
        return;
    }
    if (!pool->live.empty()) {
        sim::Violation("ndis.pool-in-use", "NdisFreePacketPool",
                       std::to_string(pool->live.size()) + " packets are still out of the pool");
        for (PNDIS_PACKET packet : pool->live) {
            std::free(packet);
        }
    }
    delete pool;
}

VOID NTAPI NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle, UINT NumberOfDescriptors)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocateBufferPool");
    *PoolHandle = nullptr;
    if (sim::ShouldFail("NdisAllocateBufferPool")) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto *pool = new BufferPool{};
    std::lock_guard<std::mutex> guard(sim::g_lock);
    sim::g_bufferPools.insert(pool);
    *PoolHandle = pool;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisFreeBufferPool(NDIS_HANDLE PoolHandle)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreeBufferPool");
    auto *pool = static_cast<BufferPool *>(PoolHandle);
    std::lock_guard<std::mutex> guard(sim::g_lock);
    if (sim::g_bufferPools.erase(pool) == 0) {
        sim::Violation("ndis.pool-double-free", "NdisFreeBufferPool", "not a live buffer pool");
        return;
    }
    if (!pool->live.empty()) {
        sim::Violation("ndis.pool-in-use", "NdisFreeBufferPool",
                       std::to_string(pool->live.size()) + " buffers are still out of the pool");
        for (PMDL mdl : pool->live) {
            sim::g_bufferOwner.erase(mdl);
        }
    }
    delete pool;
}

VOID NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET *Packet, NDIS_HANDLE PoolHandle)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocatePacket");
    sim::HookPoint("NdisAllocatePacket");
    *Packet = nullptr;
    auto *pool = static_cast<PacketPool *>(PoolHandle);
    std::lock_guard<std::mutex> guard(sim::g_lock);
    if (sim::g_packetPools.count(pool) == 0) {
        sim::Violation("ndis.bad-pool", "NdisAllocatePacket", "not a live packet pool");
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    if (pool->live.size() >= pool->capacity || sim::ShouldFail("NdisAllocatePacket")) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    size_t oob = sim::OobOffset(pool->reservedLength);
    auto *packet = static_cast<PNDIS_PACKET>(std::malloc(oob + sizeof(NDIS_PACKET_OOB_DATA)));
    // The protocol's area is not cleared, as on Windows; the rest is.
    std::memset(packet, 0, oob + sizeof(NDIS_PACKET_OOB_DATA));
    std::memset(packet->ProtocolReserved, sim::kPoolFillByte, oob - offsetof(NDIS_PACKET, ProtocolReserved));
    packet->Private.Pool = pool;
    packet->Private.NdisPacketOobOffset = static_cast<USHORT>(oob);
    packet->Private.ValidCounts = FALSE;
    pool->live.insert(packet);
    sim::CountPacketDescriptor();
    *Packet = packet;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisFreePacket(PNDIS_PACKET Packet)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreePacket");
    std::lock_guard<std::mutex> guard(sim::g_lock);
    auto *pool = Packet == nullptr ? nullptr : static_cast<PacketPool *>(Packet->Private.Pool);
    if (pool == nullptr || sim::g_packetPools.count(pool) == 0 || pool->live.erase(Packet) == 0) {
        sim::Violation("ndis.packet-double-free", "NdisFreePacket",
                       "packet was not allocated or is already back in its pool");
        return;
    }
    // The whole descriptor is gone, the protocol's area and the out-of-band
    // data included: a protocol that reads it later reads garbage.
    sim::Retire(Packet, sim::OobOffset(pool->reservedLength) + sizeof(NDIS_PACKET_OOB_DATA), std::free);
}

VOID NTAPI NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER *Buffer, NDIS_HANDLE PoolHandle,
                              PVOID VirtualAddress, UINT Length)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocateBuffer");
    *Buffer = nullptr;
    auto *pool = static_cast<BufferPool *>(PoolHandle);
    {
        std::lock_guard<std::mutex> guard(sim::g_lock);
        if (sim::g_bufferPools.count(pool) == 0) {
            sim::Violation("ndis.bad-pool", "NdisAllocateBuffer", "not a live buffer pool");
            *Status = NDIS_STATUS_FAILURE;
            return;
        }
    }
    if (sim::ShouldFail("NdisAllocateBuffer")) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    PMDL mdl = IoAllocateMdl(VirtualAddress, Length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    // NDIS builds the MDL for nonpaged memory: it is mapped from the start.
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    mdl->MappedSystemVa = VirtualAddress;
    std::lock_guard<std::mutex> guard(sim::g_lock);
    pool->live.insert(mdl);
    sim::g_bufferOwner[mdl] = pool;
    sim::CountBufferDescriptor();
    *Buffer = mdl;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisUnchainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER *Buffer)
{
    PNDIS_BUFFER head = Packet->Private.Head;
    *Buffer = head;
    if (head == nullptr) {
        return;
    }
    Packet->Private.Head = head->Next;
    if (Packet->Private.Head == nullptr) {
        Packet->Private.Tail = nullptr;
    }
    head->Next = nullptr;
    Packet->Private.ValidCounts = FALSE;
}

VOID NTAPI NdisCopyFromPacketToPacketSafe(PNDIS_PACKET Destination, UINT DestinationOffset,
                                          UINT BytesToCopy, PNDIS_PACKET Source, UINT SourceOffset,
                                          PUINT BytesCopied, MM_PAGE_PRIORITY Priority)
{
    *BytesCopied = 0;
    PNDIS_BUFFER dst = Destination->Private.Head;
    PNDIS_BUFFER src = Source->Private.Head;
    // Skip whole buffers before each offset.
    while (dst != nullptr && DestinationOffset >= dst->ByteCount) {
        DestinationOffset -= dst->ByteCount;
        dst = dst->Next;
    }
    while (src != nullptr && SourceOffset >= src->ByteCount) {
        SourceOffset -= src->ByteCount;
        src = src->Next;
    }
    while (BytesToCopy > 0 && dst != nullptr && src != nullptr) {
        auto *to = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(dst, Priority));
        auto *from = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(src, Priority));
        if (to == nullptr || from == nullptr) {
            return;
        }
        UINT chunk = std::min({BytesToCopy, (UINT)(dst->ByteCount - DestinationOffset),
                               (UINT)(src->ByteCount - SourceOffset)});
        std::memcpy(to + DestinationOffset, from + SourceOffset, chunk);
        sim::CountNdisCopy(chunk);
        *BytesCopied += chunk;
        BytesToCopy -= chunk;
        DestinationOffset += chunk;
        SourceOffset += chunk;
        if (DestinationOffset == dst->ByteCount) {
            dst = dst->Next;
            DestinationOffset = 0;
        }
        if (SourceOffset == src->ByteCount) {
            src = src->Next;
            SourceOffset = 0;
        }
    }
}

}  // extern "C"
