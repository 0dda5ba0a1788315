// The kernel's handle table, shared by every kind of object the sim hands
// out handles to (registry keys, device objects). ZwClose closes any of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace sim {

enum class HandleKind { Key, Device };

struct HandleEntry {
    HandleKind kind;
    void *object;
    uint32_t grantedAccess;
    bool kernel;              // OBJ_KERNEL_HANDLE
    std::string description;  // for the leak report
};

// Used inside the sim by the owners of objects.
HANDLE InsertHandle(const HandleEntry &entry);
std::optional<HandleEntry> LookupHandle(HANDLE handle);

// Every open handle, in the order of their values.
std::vector<HandleEntry> OpenHandles();
// Forgets every handle without closing it; part of ResetWorld.
void ResetHandles();

}  // namespace sim
