// The verifier must catch what a human would miss; each rule is broken here
// on purpose and must be reported by name.
#include <gtest/gtest.h>

#include "platform/ex.h"
#include "platform/ndis.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/pool.h"
#include "sim/world.h"
#include "tests/support/sim_test.h"

namespace {

using rztest::HasRule;

constexpr ULONG kTag = 'Zerl';

class Verifier : public rztest::SimTest {};

TEST_F(Verifier, CatchesDoubleFreeAndWrongTag)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    ASSERT_NE(block, nullptr);
    ExFreePoolWithTag(block, 'Xxxx');
    EXPECT_TRUE(HasRule(TakeViolations(), "pool.wrong-tag"));
    ExFreePoolWithTag(block, kTag);
    EXPECT_TRUE(HasRule(TakeViolations(), "pool.double-free"));
}

TEST_F(Verifier, FillsNewBlocksAndReportsLeaksByTag)
{
    auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0], sim::kPoolFillByte);
    EXPECT_EQ(block[7], sim::kPoolFillByte);
    EXPECT_EQ(sim::LivePoolBlockCount(kTag), 1u);
    std::vector<std::string> leaks = sim::Leaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].find("lreZ"), std::string::npos);
    ExFreePoolWithTag(block, kTag);
    EXPECT_TRUE(sim::Leaks().empty());
}

TEST_F(Verifier, CatchesBlockingWaitAtDispatchLevel)
{
    NDIS_EVENT event;
    NdisInitializeEvent(&event);
    NdisSetEvent(&event);
    {
        sim::ScopedIrql dispatch(DISPATCH_LEVEL);
        NdisWaitEvent(&event, 0);
    }
    EXPECT_TRUE(HasRule(TakeViolations(), "irql.too-high"));
}

TEST_F(Verifier, CatchesReleaseOfUnheldAndNestedLocks)
{
    KSPIN_LOCK first = 0;
    KSPIN_LOCK second = 0;
    KfReleaseSpinLock(&first, PASSIVE_LEVEL);
    EXPECT_TRUE(HasRule(TakeViolations(), "spinlock.release-unheld"));

    KIRQL outer = KfAcquireSpinLock(&first);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL inner = KfAcquireSpinLock(&second);
    KfReleaseSpinLock(&second, inner);
    KfReleaseSpinLock(&first, outer);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(HasRule(TakeViolations(), "spinlock.nested"));
}

TEST_F(Verifier, PagedPoolAtDispatchLevelIsReported)
{
    sim::ScopedIrql dispatch(DISPATCH_LEVEL);
    PVOID block = ExAllocatePoolWithTag(PagedPool, 4, kTag);
    ExFreePoolWithTag(block, kTag);
    EXPECT_TRUE(HasRule(TakeViolations(), "irql.too-high"));
}

TEST_F(Verifier, FaultInjectionFailsTheChosenAllocations)
{
    sim::faults::FailNth("pool", 2);
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    PVOID c = nullptr;
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(NdisAllocateMemoryWithTag(&c, 4, kTag), NDIS_STATUS_SUCCESS);

    sim::faults::FailTag('Othr');
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, 'Othr'), nullptr);
    EXPECT_EQ(sim::faults::Injected(), 2u);
    ExFreePoolWithTag(a, kTag);
    NdisFreeMemory(c, 0, 0);
}

TEST_F(Verifier, SeededShareIsReproducible)
{
    auto run = [] {
        sim::faults::Reset();
        sim::faults::FailShare(0.5, 42);
        std::vector<bool> failed;
        for (int i = 0; i < 32; ++i) {
            failed.push_back(sim::ShouldFail("probe"));
        }
        return failed;
    };
    EXPECT_EQ(run(), run());
}

}  // namespace
