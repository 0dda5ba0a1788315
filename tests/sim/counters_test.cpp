// The platform's counters, which the benchmarks read, and the forgetting of
// finished requests that keeps a long run's memory bounded.
#include <gtest/gtest.h>

#include "platform/ex.h"
#include "platform/io.h"
#include "platform/mm.h"
#include "platform/ndis.h"
#include "platform/ndis_packet.h"
#include "platform/rtl.h"
#include "sim/counters.h"
#include "sim/direct_io.h"
#include "sim/io.h"
#include "sim/world.h"
#include "tests/support/sim_test.h"

namespace {

class Counters : public rztest::SimTest {
protected:
    DEVICE_OBJECT device_{};
    sim::File file_{&device_};
};

NTSTATUS NTAPI FillFive(PDEVICE_OBJECT, PIRP irp)
{
    auto *to = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    RtlFillMemory(to, 5, 0x11);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 5;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompleteWrite(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 7;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Pend(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
}

TEST_F(Counters, CountAllocationsAndTheBytesReadsReturnUntilTheWorldIsReset)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 24, 'tseT');
    NDIS_HANDLE packets;
    NDIS_HANDLE buffers;
    NDIS_STATUS status;
    NdisAllocatePacketPoolEx(&status, &packets, 1, 0, 8);
    NdisAllocateBufferPool(&status, &buffers, 1);
    PNDIS_PACKET packet;
    PNDIS_BUFFER buffer;
    NdisAllocatePacket(&status, &packet, packets);
    NdisAllocateBuffer(&status, &buffer, buffers, block, 24);
    sim::BuildRead(file_, 8).Dispatch(FillFive);
    sim::BuildWrite(file_, std::vector<uint8_t>(7)).Dispatch(CompleteWrite);

    sim::PlatformCounters now = sim::CountersNow();
    EXPECT_EQ(now.poolAllocations, 1u);
    EXPECT_EQ(now.poolBytes, 24u);
    EXPECT_EQ(now.packetDescriptors, 1u);
    EXPECT_EQ(now.bufferDescriptors, 1u);
    EXPECT_EQ(now.readBytesCompleted, 5u);

    NdisFreeBuffer(buffer);
    NdisFreePacket(packet);
    NdisFreeBufferPool(buffers);
    NdisFreePacketPool(packets);
    ExFreePoolWithTag(block, 'tseT');
    sim::ResetWorld();
    now = sim::CountersNow();
    EXPECT_EQ(now.poolAllocations + now.poolBytes + now.packetDescriptors + now.bufferDescriptors +
                  now.readBytesCompleted,
              0u);
}

TEST_F(Counters, ForgettingKeepsRequestsThatArePendingOrStillNamed)
{
    sim::Request pending = sim::BuildRead(file_, 8);
    pending.Dispatch(Pend);
    sim::Request named = sim::BuildRead(file_, 8);
    named.Dispatch(FillFive);
    sim::BuildRead(file_, 8).Dispatch(FillFive);
    ASSERT_EQ(sim::RequestCount(), 3u);

    sim::ForgetFinishedRequests();
    EXPECT_EQ(sim::RequestCount(), 2u);
    EXPECT_EQ(sim::CallerBytes(named)[4], 0x11);

    pending.Irp()->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(pending.Irp(), IO_NO_INCREMENT);
    EXPECT_TRUE(pending.Completed());
    EXPECT_TRUE(TakeViolations().empty());
}

}  // namespace
