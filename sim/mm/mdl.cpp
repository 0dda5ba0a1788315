// MDLs: allocation, release and mapping into system space.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/mm.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/mdl.h"
#include "sim/ndis_pools.h"
#include "sim/verifier.h"

namespace sim {
namespace {

std::mutex g_lock;
std::set<PMDL> g_mdls;

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
    delete Mdl;
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
    auto *address = static_cast<PUCHAR>(MemoryDescriptorList->StartVa) + MemoryDescriptorList->ByteOffset;
    MemoryDescriptorList->MappedSystemVa = address;
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return address;
}

}  // extern "C"
