// The kernel's handle table and ZwClose.
#include "sim/handles.h"

#include <map>
#include <mutex>

#include "platform/ob.h"
#include "platform/ntstatus.h"
#include "sim/irql.h"
#include "sim/verifier.h"

namespace sim {
namespace {

// Kernel handles carry the top bit of the 32-bit handle value, as on x86 Windows.
constexpr uintptr_t kKernelHandleBit = 0x80000000u;

std::mutex g_lock;
std::map<uintptr_t, HandleEntry> g_table;
uintptr_t g_next = 1;

}  // namespace

HANDLE InsertHandle(const HandleEntry &entry)
{
    std::lock_guard<std::mutex> guard(g_lock);
    // Values are never reused within a world, so a stale handle is always caught.
    uintptr_t value = (g_next++ * 4) | (entry.kernel ? kKernelHandleBit : 0);
    g_table[value] = entry;
    return reinterpret_cast<HANDLE>(value);
}

std::optional<HandleEntry> LookupHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_table.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<HandleEntry> OpenHandles()
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<HandleEntry> open;
    for (const auto &entry : g_table) {
        open.push_back(entry.second);
    }
    return open;
}

void ResetHandles()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_table.clear();
}

}  // namespace sim

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    std::lock_guard<std::mutex> guard(sim::g_lock);
    auto it = sim::g_table.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == sim::g_table.end()) {
        // Windows stops with INVALID_KERNEL_HANDLE when a driver closes a handle it does not own.
        sim::Violation("handle.invalid", "ZwClose", "the handle is not open");
        return STATUS_INVALID_HANDLE;
    }
    sim::g_table.erase(it);
    return STATUS_SUCCESS;
}
