// Reads and writes with direct I/O: the caller's buffer behind locked MDLs,
// released by the I/O manager at completion, with the system address a
// driver mapped them at; MDLs nobody released are
// reported, and their mapping into system space can fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/mm.h"
#include "sim/direct_io.h"
#include "sim/faults.h"
#include "sim/pool.h"
#include "sim/world.h"
#include "tests/support/sim_test.h"

namespace {

class DirectIo : public rztest::SimTest {
protected:
    DEVICE_OBJECT device_{};
    sim::File file_{&device_};
};

PMDL g_taken = nullptr;
PUCHAR g_mapped = nullptr;

// Fills what the read's MDL describes, through a system mapping.
NTSTATUS NTAPI FillRead(PDEVICE_OBJECT, PIRP irp)
{
    auto *to = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    g_mapped = to;
    NTSTATUS status = to == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = to == nullptr ? 0 : 3;
    if (to != nullptr) {
        std::memcpy(to, "abc", 3);
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI RefuseWithoutMdl(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = irp->MdlAddress == nullptr ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completes a write after taking its second MDL off the chain.
NTSTATUS NTAPI CutChain(PDEVICE_OBJECT, PIRP irp)
{
    g_taken = irp->MdlAddress->Next;
    irp->MdlAddress->Next = nullptr;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(DirectIo, ReadBufferIsLockedUnmappedAndReleasedAtCompletion)
{
    sim::Request read = sim::BuildRead(file_, 8);
    PMDL mdl = read.Irp()->MdlAddress;
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(mdl->ByteCount, 8u);
    EXPECT_EQ(mdl->Next, nullptr);
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), MDL_PAGES_LOCKED);
    EXPECT_EQ(read.Stack()->Parameters.Read.Length, 8u);
    EXPECT_EQ(read.Dispatch(FillRead), STATUS_SUCCESS);
    std::vector<uint8_t> expected(8, sim::kCallerFillByte);
    std::copy_n("abc", 3, expected.begin());
    EXPECT_EQ(sim::CallerBytes(read), expected);
    EXPECT_TRUE(sim::Leaks().empty());
    // The system address went with the request: a driver that kept it reads poison.
    EXPECT_EQ(std::vector<uint8_t>(g_mapped, g_mapped + 8), std::vector<uint8_t>(8, sim::kPoolPoisonByte));
}

TEST_F(DirectIo, MappingFailsWhenInjected)
{
    sim::faults::FailNth("MmMapLockedPagesSpecifyCache", 1);
    sim::Request read = sim::BuildRead(file_, 8);
    EXPECT_EQ(read.Dispatch(FillRead), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::CallerBytes(read), std::vector<uint8_t>(8, sim::kCallerFillByte));
}

TEST_F(DirectIo, WritesComeWithoutMdlWhenEmptyAndWithAChainInPieces)
{
    EXPECT_EQ(sim::BuildWrite(file_, {}).Dispatch(RefuseWithoutMdl), STATUS_INVALID_PARAMETER);

    sim::Request write = sim::BuildChainedWrite(file_, {{1, 2}, {3, 4, 5}});
    PMDL first = write.Irp()->MdlAddress;
    ASSERT_NE(first->Next, nullptr);
    EXPECT_EQ(first->ByteCount, 2u);
    EXPECT_EQ(first->Next->ByteCount, 3u);
    EXPECT_EQ(write.Stack()->Parameters.Write.Length, 5u);

    // An MDL taken off the chain before completion is never released.
    EXPECT_EQ(write.Dispatch(CutChain), STATUS_SUCCESS);
    std::vector<std::string> leaks = sim::Leaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].find("MDL"), std::string::npos);
    IoFreeMdl(g_taken);
}

}  // namespace
