// ExAllocatePoolWithTag, ExFreePoolWithTag and the NDIS memory calls over one
// table of live blocks, with the verifier's pool rules.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/ex.h"
#include "platform/ndis.h"
#include "sim/counters.h"
#include "sim/faults.h"
#include "sim/hooks.h"
#include "sim/irql.h"
#include "sim/pool.h"
#include "sim/verifier.h"

namespace sim {
namespace {

struct BlockInfo {
    size_t size;
    uint32_t tag;
    POOL_TYPE type;
};

std::mutex g_lock;
std::map<const void *, BlockInfo> g_blocks;

void *Allocate(POOL_TYPE type, size_t size, uint32_t tag, const char *caller)
{
    RequireIrqlAtMost(type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, caller);
    if (ShouldFail("pool", tag)) {
        return nullptr;
    }
    void *block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, kPoolFillByte, size);
    CountPoolAllocation(size);
    std::lock_guard<std::mutex> guard(g_lock);
    g_blocks[block] = BlockInfo{size, tag, type};
    return block;
}

void Free(void *block, uint32_t tag, bool checkTag, const char *caller)
{
    if (block == nullptr) {
        Violation("pool.free-null", caller, "freeing a NULL block");
        return;
    }
    BlockInfo info;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_blocks.find(block);
        if (it == g_blocks.end()) {
            Violation("pool.double-free", caller, "block was not allocated or is already freed");
            return;
        }
        info = it->second;
        if (checkTag && tag != 0 && tag != info.tag) {
            Violation("pool.wrong-tag", caller,
                      "freed with tag " + PoolTagText(tag) + ", allocated with " +
                          PoolTagText(info.tag));
        }
        g_blocks.erase(it);
    }
    Poison(block, info.size);
    std::free(block);
}

}  // namespace


std::vector<PoolBlock> LivePoolBlocks()
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<PoolBlock> live;
    for (const auto &[address, info] : g_blocks) {
        live.push_back(PoolBlock{address, info.size, info.tag});
    }
    return live;
}

size_t LivePoolBlockCount(uint32_t tag)
{
    std::lock_guard<std::mutex> guard(g_lock);
    size_t count = 0;
    for (const auto &entry : g_blocks) {
        count += entry.second.tag == tag ? 1 : 0;
    }
    return count;
}

std::optional<size_t> PoolBytesFrom(const void *address)
{
    auto *byte = static_cast<const uint8_t *>(address);
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_blocks.upper_bound(address);
    if (it == g_blocks.begin()) {
        return std::nullopt;
    }
    --it;
    auto *start = static_cast<const uint8_t *>(it->first);
    if (byte < start || byte >= start + it->second.size) {
        return std::nullopt;
    }
    return static_cast<size_t>(start + it->second.size - byte);
}

std::string PoolTagText(uint32_t tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

void ReleaseAllPool()
{
    std::map<const void *, BlockInfo> blocks;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        blocks.swap(g_blocks);
    }
    for (const auto &entry : blocks) {
        std::free(const_cast<void *>(entry.first));
    }
}

}  // namespace sim

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return sim::Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag");
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag");
    // Tag 0 frees without a check, as ExFreePool does.
    sim::Free(P, Tag, true, "ExFreePoolWithTag");
}

NDIS_STATUS NTAPI NdisAllocateMemoryWithTag(PVOID *VirtualAddress, UINT Length, ULONG Tag)
{
    *VirtualAddress = sim::Allocate(NonPagedPool, Length, Tag, "NdisAllocateMemoryWithTag");
    return *VirtualAddress != nullptr ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
}

VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags)
{
    sim::HookPoint("NdisFreeMemory");
    if (Length != 0 || MemoryFlags != 0) {
        // NDIS ignores the length; the flags must match the allocation's.
        if (MemoryFlags != 0) {
            sim::Violation("pool.ndis-flags", "NdisFreeMemory",
                           "memory from NdisAllocateMemoryWithTag is freed with flags 0");
        }
    }
    sim::Free(VirtualAddress, 0, false, "NdisFreeMemory");
}

}  // extern "C"
