/* The reference side of the layout check: the mingw-w64 DDK's own answers
 * for every item the lists name. Compiled with -S only; each item leaves a
 * line "@layout@ <key> = <value>" in the assembly, which
 * extract_reference.py turns into a C++ header (the asm-offsets technique).
 *
 * C, not C++: the DDK's ndis.h only gets through a C compiler, and only with
 * the renames below. */

#define NDIS50 1

/* ntifs.h is ntddk.h and the security, object and SeExports declarations. */
#include <ntifs.h>

/* ntddndis.h and ndis.h both define NDIS_REQUEST_TYPE. The copy in
 * ntddndis.h is parked under other names; ndis.h's own is the reference. */
typedef int NDIS_STATUS, *PNDIS_STATUS;
#define _NDIS_REQUEST_TYPE LayoutIgnoredRequestTypeTag
#define NDIS_REQUEST_TYPE LayoutIgnoredRequestType
#define PNDIS_REQUEST_TYPE LayoutIgnoredRequestTypePointer
#define NdisRequestQueryInformation LayoutIgnoredRequest0
#define NdisRequestSetInformation LayoutIgnoredRequest1
#define NdisRequestQueryStatistics LayoutIgnoredRequest2
#define NdisRequestOpen LayoutIgnoredRequest3
#define NdisRequestClose LayoutIgnoredRequest4
#define NdisRequestSend LayoutIgnoredRequest5
#define NdisRequestTransferData LayoutIgnoredRequest6
#define NdisRequestReset LayoutIgnoredRequest7
#define NdisRequestGeneric1 LayoutIgnoredRequest8
#define NdisRequestGeneric2 LayoutIgnoredRequest9
#define NdisRequestGeneric3 LayoutIgnoredRequest10
#define NdisRequestGeneric4 LayoutIgnoredRequest11
#include <ntddndis.h>
#undef _NDIS_REQUEST_TYPE
#undef NDIS_REQUEST_TYPE
#undef PNDIS_REQUEST_TYPE
#undef NdisRequestQueryInformation
#undef NdisRequestSetInformation
#undef NdisRequestQueryStatistics
#undef NdisRequestOpen
#undef NdisRequestClose
#undef NdisRequestSend
#undef NdisRequestTransferData
#undef NdisRequestReset
#undef NdisRequestGeneric1
#undef NdisRequestGeneric2
#undef NdisRequestGeneric3
#undef NdisRequestGeneric4
/* ndis.h defines these again with the same values. */
#undef NDIS_PROTOCOL_ID_MAX
#undef NDIS_PROTOCOL_ID_MASK

/* ndis.h declares NdisMWanIndicateReceiveComplete without the comma between
 * its two parameters; the whole declaration is swallowed as one argument. */
#define NdisMWanIndicateReceiveComplete(parameters) LayoutIgnoredWanIndicateReceiveComplete(void)
#include <ndis.h>
#undef NdisMWanIndicateReceiveComplete

#define LAYOUT_EMIT(key, value) \
    __asm__ volatile("\n@layout@ " key " = %c0" : : "i"((long long)(value)))
#define LAYOUT_PROBE(key, function) \
    __asm__ volatile("\n@layout@ " key " = %c0" : : "i"(&function))

/* Each macro names its items itself: a name handed on to another macro
 * would be expanded first where the DDK defines it as a macro. */
#define LAYOUT_SIZE(type) LAYOUT_EMIT("size " #type, sizeof(type));
#define LAYOUT_SCALAR(type)                         \
    LAYOUT_EMIT("size " #type, sizeof(type));       \
    LAYOUT_EMIT("signed " #type, (type)-1 < 0);
#define LAYOUT_FIELD(type, field)                                             \
    LAYOUT_EMIT("offset " #type "." #field, __builtin_offsetof(type, field)); \
    LAYOUT_EMIT("fieldsize " #type "." #field, sizeof(((type *)0)->field));
#define LAYOUT_FIELD_AS(type, field, reference_field)                                 \
    LAYOUT_EMIT("offset " #type "." #field, __builtin_offsetof(type, reference_field)); \
    LAYOUT_EMIT("fieldsize " #type "." #field, sizeof(((type *)0)->reference_field));
#define LAYOUT_VALUE(name) LAYOUT_EMIT("value " #name, name);
/* A function of the handler's type shows its convention and argument bytes
 * in its decorated name: _Name@12 (stdcall), @Name@12 (fastcall), _Name. */
#define LAYOUT_HANDLER(type)                                    \
    {                                                           \
        extern __typeof__(*(type)0) LayoutProbe_##type;         \
        LAYOUT_PROBE("handler " #type, LayoutProbe_##type);     \
    }
/* A handler type the DDK leaves unmarked relies on the kernel's own x86
 * builds, whose default convention is stdcall. The probe asks for stdcall;
 * a type the DDK marks otherwise makes the compiler refuse it. */
#define LAYOUT_HANDLER_STDCALL_DEFAULT(type)                                            \
    {                                                                                   \
        extern __typeof__(*(type)0) __attribute__((stdcall)) LayoutProbe_##type;        \
        LAYOUT_PROBE("handler " #type, LayoutProbe_##type);                             \
    }
#define LAYOUT_HANDLER_TYPE(type)                               \
    {                                                           \
        extern type LayoutProbe_##type;                         \
        LAYOUT_PROBE("handler " #type, LayoutProbe_##type);     \
    }
#define LAYOUT_SKIP(name)
/* A routine of the driver that the platform calls through a pointer type. */
#define LAYOUT_CALLBACK(routine, type)                                  \
    {                                                                   \
        extern __typeof__(*(type)0) LayoutProbe_##routine;              \
        LAYOUT_PROBE("callback " #routine, LayoutProbe_##routine);      \
    }

void LayoutReference(void)
{
#include "layout_lists.inc"
#include "driver_callbacks.inc"
}
