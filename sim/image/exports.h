// The sim's exports as Windows' kernel modules export them: each entry is a
// routine or variable that platform/ declares, with its calling convention
// and argument bytes taken from that declaration by the compiler.
#pragma once

#include <cstdint>
#include <string_view>

namespace sim::image {

enum class Convention { Cdecl, Stdcall, Fastcall };

struct Export {
    const char *module;  // "ntoskrnl.exe", "HAL.dll" or "NDIS.SYS"
    const char *name;
    const void *address;
    bool data;
    Convention convention;
    // Bytes of arguments the caller pushes (beyond ECX and EDX for fastcall);
    // the callee pops them unless it is cdecl.
    uint32_t stackBytes;
    // A cdecl routine taking a variable list after its fixed arguments.
    bool variadic;
};

// True when `module` (compared as Windows does, ignoring case) is one of the
// kernel modules the sim exports from.
bool ExportingModule(std::string_view module);
// The export `name` of `module`, or null.
const Export *FindExport(std::string_view module, std::string_view name);
// "ntoskrnl.exe, HAL.dll and NDIS.SYS", for messages.
const char *ExportingModuleNames();

}  // namespace sim::image
