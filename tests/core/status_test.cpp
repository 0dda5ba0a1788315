#include <gtest/gtest.h>

#include "core/status.h"

namespace {

struct Translation {
    ULONG ndis;
    ULONG nt;
};

TEST(StatusTranslation, ListedValuesPassThroughOrMapToTheirOwnCode)
{
    const Translation table[] = {
        {0x00000000, 0x00000000}, {0x00000103, 0x00000103}, {0x80000005, 0x80000005},
        {0xC0000001, 0xC0000001}, {0xC0000010, 0xC0000010}, {0xC000009A, 0xC000009A},
        {0xC00000BB, 0xC00000BB}, {0xC000023C, 0xC000023C}, {0xC0010006, 0x8000001A},
        {0xC0010011, 0xC00000A3}, {0xC0010014, 0xC0000206}, {0xC0010015, 0xC000000D},
        {0xC0010016, 0xC0000023}, {0xC0010017, 0xC00000BB}, {0xC001001F, 0xC000009D},
    };
    for (const Translation &t : table) {
        EXPECT_EQ((ULONG)RelayNdisToNtStatus((NDIS_STATUS)t.ndis), t.nt) << std::hex << t.ndis;
    }
}

TEST(StatusTranslation, EveryOtherValueGetsTheNdisFacilityBitsOred)
{
    EXPECT_EQ((ULONG)RelayNdisToNtStatus(NDIS_STATUS_CLOSING), 0xC0230002u);
    EXPECT_EQ((ULONG)RelayNdisToNtStatus(NDIS_STATUS_BAD_VERSION), 0xC0230004u);
    EXPECT_EQ((ULONG)RelayNdisToNtStatus((NDIS_STATUS)0xC0000022), 0xC0230022u);
    EXPECT_EQ((ULONG)RelayNdisToNtStatus((NDIS_STATUS)0x40010004), 0x40230004u);
    // A value that already carries the bits comes back unchanged.
    EXPECT_EQ((ULONG)RelayNdisToNtStatus((NDIS_STATUS)0xC0230001), 0xC0230001u);
}

TEST(StatusTranslation, AdapterNotFoundIsAWarningThatStillReadsAsFailure)
{
    NTSTATUS status = RelayNdisToNtStatus(NDIS_STATUS_ADAPTER_NOT_FOUND);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ((ULONG)status >> 30, 2u);
}

}  // namespace
