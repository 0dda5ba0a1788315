// The sim's pool: every block the driver takes from ExAllocatePoolWithTag or
// NdisAllocateMemoryWithTag is recorded with its tag until it is freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// New blocks are filled with this byte, freed blocks poisoned with the other,
// so that a reader of memory nobody wrote, or of freed memory, sees garbage.
constexpr uint8_t kPoolFillByte = 0xA5;
constexpr uint8_t kPoolPoisonByte = 0xDE;

// Fills memory that is gone with kPoolPoisonByte, stores that survive the
// release that follows.
void Poison(void *memory, size_t size);
// Memory that is gone: poisoned now, and given to `release` only after many
// later retirements, so that a reader of it meanwhile sees the poison rather
// than memory already used again, as Driver Verifier delays frees. The image
// has no sanitizer; this is how its use of such memory shows.
void Retire(void *memory, size_t size, void (*release)(void *));
// Releases everything retired (sim::ResetWorld).
void ReleaseRetired();

struct PoolBlock {
    const void *address;
    size_t size;
    uint32_t tag;
};

std::vector<PoolBlock> LivePoolBlocks();
size_t LivePoolBlockCount(uint32_t tag);
// Bytes from `address` to the end of the live block that holds it; none
// when no live block does. Lets the platform notice a read beyond a block.
std::optional<size_t> PoolBytesFrom(const void *address);
// Tag as its four characters in memory order, e.g. 'Zerl' -> "lreZ".
std::string PoolTagText(uint32_t tag);
// Frees every live block: the end of a test that has already reported them.
void ReleaseAllPool();

}  // namespace sim
