// The export table, built from platform/'s declarations: decltype of each
// name gives the convention and the argument bytes as the compiler sees them.
#include "sim/image/exports.h"

#include <strings.h>

#include <cstring>
#include <iterator>
#include <string>

#include "platform/ex.h"
#include "platform/io.h"
#include "platform/io_device_object.h"
#include "platform/io_names.h"
#include "platform/io_version.h"
#include "platform/io_work.h"
#include "platform/ke.h"
#include "platform/mm.h"
#include "platform/mm_routine.h"
#include "platform/ndis.h"
#include "platform/ndis_packet.h"
#include "platform/ndis_protocol.h"
#include "platform/ndis_work.h"
#include "platform/ob.h"
#include "platform/rtl.h"
#include "platform/se.h"
#include "platform/wcs.h"
#include "platform/zw.h"

namespace sim::image {
namespace {

constexpr const char kKernel[] = "ntoskrnl.exe";
constexpr const char kHal[] = "HAL.dll";
constexpr const char kNdis[] = "NDIS.SYS";

// An argument takes whole 4-byte slots on the x86 stack.
constexpr uint32_t Slots(size_t size)
{
    return static_cast<uint32_t>((size + 3) / 4 * 4);
}

template <typename... A>
constexpr uint32_t StackBytes()
{
    return (0 + ... + Slots(sizeof(A)));
}

// Fastcall passes the first two arguments that fit in a register in ECX and EDX.
template <typename... A>
constexpr uint32_t FastcallStackBytes()
{
    uint32_t registers = 0;
    uint32_t bytes = 0;
    ((sizeof(A) <= 4 && registers < 2 ? static_cast<void>(++registers) : static_cast<void>(bytes += Slots(sizeof(A)))),
     ...);
    return bytes;
}

template <typename F>
struct Signature;

template <typename R, typename... A>
struct Signature<R(A...)> {
    static constexpr Convention convention = Convention::Cdecl;
    static constexpr uint32_t stackBytes = StackBytes<A...>();
    static constexpr bool variadic = false;
};
template <typename R, typename... A>
struct Signature<R(A...) noexcept> : Signature<R(A...)> {};
template <typename R, typename... A>
struct Signature<R(A..., ...)> : Signature<R(A...)> {
    static constexpr bool variadic = true;
};

#if defined(__i386__)
template <typename R, typename... A>
struct Signature<R NTAPI(A...)> {
    static constexpr Convention convention = Convention::Stdcall;
    static constexpr uint32_t stackBytes = StackBytes<A...>();
    static constexpr bool variadic = false;
};
template <typename R, typename... A>
struct Signature<R FASTCALL(A...)> {
    static constexpr Convention convention = Convention::Fastcall;
    static constexpr uint32_t stackBytes = FastcallStackBytes<A...>();
    static constexpr bool variadic = false;
};
#endif

#define EXPORT_FUNCTION(module, name)                                                                  \
    Export{module, #name, reinterpret_cast<const void *>(&name), false, Signature<decltype(name)>::convention, \
           Signature<decltype(name)>::stackBytes, Signature<decltype(name)>::variadic},
#define EXPORT_DATA(module, name) Export{module, #name, &name, true, Convention::Cdecl, 0, false},
#define KERNEL_EXPORT(name) EXPORT_FUNCTION(kKernel, name)
#define KERNEL_DATA_EXPORT(name) EXPORT_DATA(kKernel, name)
#define HAL_EXPORT(name) EXPORT_FUNCTION(kHal, name)
#define NDIS_EXPORT(name) EXPORT_FUNCTION(kNdis, name)

// The C library's memcpy and memset carry attributes (nonnull, leaf) that a
// template argument drops; the convention and the arguments stay.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
const Export kExports[] = {
#include "sim/image/exports.inc"
};
#pragma GCC diagnostic pop

}  // namespace

bool ExportingModule(std::string_view module)
{
    for (const char *known : {kKernel, kHal, kNdis}) {
        if (module.size() == std::strlen(known) && strncasecmp(module.data(), known, module.size()) == 0) {
            return true;
        }
    }
    return false;
}

const Export *FindExport(std::string_view module, std::string_view name)
{
    for (const Export &entry : kExports) {
        if (module.size() == std::strlen(entry.module) &&
            strncasecmp(module.data(), entry.module, module.size()) == 0 && name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

const char *ExportingModuleNames()
{
    return "ntoskrnl.exe, HAL.dll and NDIS.SYS";
}

}  // namespace sim::image
