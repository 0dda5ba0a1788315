// MDLs: allocation, release and mapping into system space.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/mm.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/mdl.h"
#include "sim/ndis_pools.h"
#include "sim/pool.h"
#include "sim/verifier.h"

namespace sim {
namespace {

std::mutex g_lock;
std::set<PMDL> g_mdls;
// The system address of each MDL over locked pages that was mapped: a
// shadow of the pages, which the MDL's release copies back and retires, so
// that a system address used after its request completed reads poison, as
// an address Windows has unmapped would fault.
std::map<PMDL, uint8_t *> g_shadows;

uint8_t *PagesOf(PMDL mdl)
{
    return static_cast<uint8_t *>(mdl->StartVa) + mdl->ByteOffset;
}

// The shadow's bytes go back to the pages, and the shadow is gone.
void Unmap(PMDL mdl)
{
    uint8_t *shadow = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto found = g_shadows.find(mdl);
        if (found == g_shadows.end()) {
            return;
        }
        shadow = found->second;
        g_shadows.erase(found);
    }
    std::memcpy(PagesOf(mdl), shadow, mdl->ByteCount);
    Retire(shadow, mdl->ByteCount, std::free);
}

PMDL NewMdl(void *address, ULONG length)
{
    auto *mdl = new MDL{};
    auto va = reinterpret_cast<uintptr_t>(address);
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t{0xFFF});
    mdl->ByteOffset = static_cast<ULONG>(va & 0xFFF);
    mdl->ByteCount = length;
    std::lock_guard<std::mutex> guard(g_lock);
    g_mdls.insert(mdl);
    return mdl;
}

}  // namespace

PMDL AllocateLockedMdl(void *address, ULONG length)
{
    PMDL mdl = NewMdl(address, length);
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    return mdl;
}

bool IsLiveMdl(PMDL mdl)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_mdls.count(mdl) != 0;
}

// Called by IoFreeMdl: false when the MDL is not a live one.
bool ForgetMdl(PMDL mdl)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_mdls.erase(mdl) == 1;
}

// Defined with the buffer pools: forgets a buffer's pool when its MDL is freed.
void ForgetPooledBuffer(PMDL mdl);
// Defined with the buffer pools: whether a live MDL is a pool's buffer.
bool IsPooledBuffer(PMDL mdl);

namespace {

// Live MDLs that no buffer pool accounts for; the pools report their own.
std::vector<PMDL> UnpooledMdls()
{
    std::vector<PMDL> live;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        live.assign(g_mdls.begin(), g_mdls.end());
    }
    std::vector<PMDL> unpooled;
    for (PMDL mdl : live) {
        if (!IsPooledBuffer(mdl)) {
            unpooled.push_back(mdl);
        }
    }
    return unpooled;
}

}  // namespace

std::vector<std::string> MdlLeaks()
{
    std::vector<std::string> leaks;
    for (PMDL mdl : UnpooledMdls()) {
        char text[80];
        std::snprintf(text, sizeof text, "MDL %p over %lu bytes", static_cast<void *>(mdl),
                      static_cast<unsigned long>(mdl->ByteCount));
        leaks.push_back(text);
    }
    return leaks;
}

void ReleaseAllMdls()
{
    for (PMDL mdl : UnpooledMdls()) {
        if (ForgetMdl(mdl)) {
            delete mdl;
        }
    }
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto &[mdl, shadow] : g_shadows) {
        std::free(shadow);
    }
    g_shadows.clear();
}

}  // namespace sim

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, struct _IRP *Irp)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    if (sim::ShouldFail("IoAllocateMdl")) {
        return nullptr;
    }
    return sim::NewMdl(VirtualAddress, Length);
}

VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    if (Mdl == nullptr || !sim::ForgetMdl(Mdl)) {
        sim::Violation("mdl.double-free", "IoFreeMdl", "MDL was not allocated or is already freed");
        return;
    }
    sim::ForgetPooledBuffer(Mdl);
    sim::Unmap(Mdl);
    sim::Retire(Mdl, sizeof(MDL), [](void *mdl) { delete static_cast<PMDL>(mdl); });
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        sim::Violation("mdl.not-locked", "MmMapLockedPagesSpecifyCache",
                       "mapping an MDL whose pages are not locked");
    }
    if (sim::ShouldFail("MmMapLockedPagesSpecifyCache")) {
        if (BugCheckOnFailure) {
            sim::Violation("mdl.bugcheck-on-failure", "MmMapLockedPagesSpecifyCache",
                           "a failed mapping with BugCheckOnFailure stops the system");
        }
        return nullptr;
    }
    if (MemoryDescriptorList->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return MemoryDescriptorList->MappedSystemVa;
    }
    ULONG length = MemoryDescriptorList->ByteCount;
    auto *shadow = static_cast<uint8_t *>(std::malloc(length + 1));
    std::memcpy(shadow, sim::PagesOf(MemoryDescriptorList), length);
    {
        std::lock_guard<std::mutex> guard(sim::g_lock);
        sim::g_shadows[MemoryDescriptorList] = shadow;
    }
    MemoryDescriptorList->MappedSystemVa = shadow;
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return shadow;
}

}  // extern "C"
