// Packet and buffer pools behave as NDIS has them: bounded packet pools,
// buffers that are MDLs, chains, copies and the verifier's pool rules.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/ndis_packet.h"
#include "sim/faults.h"
#include "sim/ndis_pools.h"
#include "sim/pool.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;

class NdisPools : public rztest::SimTest {
protected:
    NDIS_HANDLE NewPacketPool(UINT descriptors, UINT overflow, UINT reserved)
    {
        NDIS_STATUS status;
        NDIS_HANDLE pool;
        NdisAllocatePacketPoolEx(&status, &pool, descriptors, overflow, reserved);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return pool;
    }
    NDIS_HANDLE NewBufferPool()
    {
        NDIS_STATUS status;
        NDIS_HANDLE pool;
        NdisAllocateBufferPool(&status, &pool, 12);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return pool;
    }
};

TEST_F(NdisPools, PacketPoolHoldsDescriptorsPlusOverflowAndNoMore)
{
    NDIS_HANDLE pool = NewPacketPool(4, 8, 8);
    std::vector<PNDIS_PACKET> packets;
    NDIS_STATUS status;
    for (int i = 0; i < 12; ++i) {
        PNDIS_PACKET packet;
        NdisAllocatePacket(&status, &packet, pool);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS) << i;
        packets.push_back(packet);
    }
    PNDIS_PACKET extra;
    NdisAllocatePacket(&status, &extra, pool);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(extra, nullptr);
    EXPECT_EQ(sim::PacketsInUse(pool), 12u);

    NdisFreePacket(packets.back());
    packets.pop_back();
    NdisAllocatePacket(&status, &extra, pool);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    packets.push_back(extra);
    for (PNDIS_PACKET packet : packets) {
        NdisFreePacket(packet);
    }
    NdisFreePacketPool(pool);
}

TEST_F(NdisPools, NewPacketHasAnEmptyChainAndWritableStatus)
{
    NDIS_HANDLE pool = NewPacketPool(1, 0, sizeof(PVOID));
    NDIS_STATUS status;
    PNDIS_PACKET packet;
    NdisAllocatePacket(&status, &packet, pool);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(packet->Private.Head, nullptr);
    NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(NDIS_GET_PACKET_STATUS(packet), NDIS_STATUS_RESOURCES);
    // The protocol's area is the protocol's to initialise.
    PVOID saved;
    std::memcpy(&saved, packet->ProtocolReserved, sizeof saved);
    EXPECT_NE(saved, nullptr);
    NdisFreePacket(packet);
    NdisFreePacketPool(pool);
}

TEST_F(NdisPools, MisuseIsReported)
{
    NDIS_HANDLE pool = NewPacketPool(2, 0, 0);
    NDIS_STATUS status;
    PNDIS_PACKET packet;
    NdisAllocatePacket(&status, &packet, pool);
    NdisFreePacketPool(pool);
    EXPECT_TRUE(HasRule(TakeViolations(), "ndis.pool-in-use"));

    NDIS_HANDLE buffers = NewBufferPool();
    UCHAR data[4];
    PNDIS_BUFFER buffer;
    NdisAllocateBuffer(&status, &buffer, buffers, data, sizeof data);
    NdisFreeBuffer(buffer);
    NdisFreeBuffer(buffer);
    EXPECT_TRUE(HasRule(TakeViolations(), "mdl.double-free"));
    NdisFreeBufferPool(buffers);
}

TEST_F(NdisPools, LeftoverPoolsAreReportedAsLeaks)
{
    NDIS_HANDLE pool = NewPacketPool(1, 0, 0);
    EXPECT_EQ(sim::NdisPoolLeaks().size(), 1u);
    NdisFreePacketPool(pool);
    EXPECT_TRUE(sim::NdisPoolLeaks().empty());
}

TEST_F(NdisPools, ChainsAndCopiesAcrossSplitBuffers)
{
    NDIS_HANDLE packets = NewPacketPool(2, 0, 0);
    NDIS_HANDLE buffers = NewBufferPool();
    NDIS_STATUS status;
    PNDIS_PACKET source;
    PNDIS_PACKET destination;
    NdisAllocatePacket(&status, &source, packets);
    NdisAllocatePacket(&status, &destination, packets);

    UCHAR first[5] = {0, 1, 2, 3, 4};
    UCHAR second[7] = {5, 6, 7, 8, 9, 10, 11};
    UCHAR target[12] = {};
    PNDIS_BUFFER a;
    PNDIS_BUFFER b;
    PNDIS_BUFFER whole;
    NdisAllocateBuffer(&status, &a, buffers, first, sizeof first);
    NdisAllocateBuffer(&status, &b, buffers, second, sizeof second);
    NdisAllocateBuffer(&status, &whole, buffers, target, sizeof target);
    NdisChainBufferAtFront(source, b);
    NdisChainBufferAtFront(source, a);
    EXPECT_EQ(source->Private.Head, a);
    EXPECT_EQ(source->Private.Tail, b);
    NdisChainBufferAtFront(destination, whole);

    PNDIS_BUFFER firstBuffer;
    PVOID firstAddress;
    UINT firstLength;
    UINT total;
    NdisGetFirstBufferFromPacketSafe(source, &firstBuffer, &firstAddress, &firstLength, &total,
                                     NormalPagePriority);
    EXPECT_EQ(firstAddress, first);
    EXPECT_EQ(firstLength, 5u);
    EXPECT_EQ(total, 12u);

    UINT copied;
    NdisCopyFromPacketToPacketSafe(destination, 0, total, source, 0, &copied, NormalPagePriority);
    EXPECT_EQ(copied, 12u);
    for (UCHAR i = 0; i < 12; ++i) {
        EXPECT_EQ(target[i], i);
    }

    for (PNDIS_PACKET packet : {source, destination}) {
        PNDIS_BUFFER buffer;
        for (NdisUnchainBufferAtFront(packet, &buffer); buffer != nullptr;
             NdisUnchainBufferAtFront(packet, &buffer)) {
            NdisFreeBuffer(buffer);
        }
        EXPECT_EQ(packet->Private.Tail, nullptr);
        NdisFreePacket(packet);
    }
    NdisFreeBufferPool(buffers);
    NdisFreePacketPool(packets);
}

// The system address of locked pages is a mapping made on demand, which can
// fail; it goes with the MDL: what was written through it reaches the pages,
// and the address then reads poison, as does the freed MDL itself.
TEST_F(NdisPools, LockedPagesMapOnDemandUntilTheirMdlGoes)
{
    UCHAR data[32];
    for (UCHAR i = 0; i < sizeof data; ++i) {
        data[i] = i;
    }
    PMDL mdl = sim::AllocateLockedMdl(data + 3, 20);
    sim::faults::FailNth("MmMapLockedPagesSpecifyCache", 1);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    auto *mapped = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ASSERT_NE(mapped, nullptr);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), mapped) << "mapped once";
    EXPECT_EQ(std::memcmp(mapped, data + 3, 20), 0);
    mapped[1] = 0x77;

    IoFreeMdl(mdl);
    EXPECT_EQ(data[4], 0x77) << "written through to the pages";
    EXPECT_EQ(std::vector<UCHAR>(mapped, mapped + 20), std::vector<UCHAR>(20, sim::kPoolPoisonByte));
    auto *gone = reinterpret_cast<const UCHAR *>(mdl);
    EXPECT_EQ(std::vector<UCHAR>(gone, gone + sizeof(MDL)), std::vector<UCHAR>(sizeof(MDL), sim::kPoolPoisonByte));
}

// A packet back in its pool is gone whole: a protocol reading its own area
// of it, or its chain, reads poison.
TEST_F(NdisPools, AFreedPacketIsPoisonedProtocolAreaAndAll)
{
    NDIS_HANDLE pool = NewPacketPool(1, 0, 8);
    NDIS_STATUS status;
    PNDIS_PACKET packet;
    NdisAllocatePacket(&status, &packet, pool);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    std::memset(packet->ProtocolReserved, 0x11, 8);
    NdisFreePacket(packet);
    auto *gone = reinterpret_cast<const UCHAR *>(packet);
    size_t size = offsetof(NDIS_PACKET, ProtocolReserved) + 8;
    EXPECT_EQ(std::vector<UCHAR>(gone, gone + size), std::vector<UCHAR>(size, sim::kPoolPoisonByte));
    NdisFreePacketPool(pool);
}

TEST_F(NdisPools, PoolCreationAndAllocationFailuresAreInjectable)
{
    sim::faults::FailNth("NdisAllocatePacketPoolEx", 1);
    NDIS_STATUS status;
    NDIS_HANDLE pool;
    NdisAllocatePacketPoolEx(&status, &pool, 4, 8, 0);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(pool, nullptr);
    sim::faults::FailNth("NdisAllocateBufferPool", 1);
    NdisAllocateBufferPool(&status, &pool, 12);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
}

}  // namespace
