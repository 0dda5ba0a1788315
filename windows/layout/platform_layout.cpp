// The platform side of the layout check: every item of the lists, as
// platform/ declares it, must equal the DDK's value (layout_reference.h,
// generated from reference.c). A difference fails the compilation and names
// the item. Handler conventions and the platform's functions leave their
// decorated names in the assembly, where check_conventions.py compares them
// with the DDK's handlers and the import libraries' exports.

#include <type_traits>

#include "layout_reference.h"
#include "platform_headers.inc"

// Both sides expand the same lists in the same order, so the n-th value
// checked here is the n-th value reference.c emitted; its key is compared
// too, so that the two can never silently fall out of step.
constexpr bool LayoutSameKey(const char *left, const char *right)
{
    while (*left != '\0' && *left == *right) {
        ++left;
        ++right;
    }
    return *left == *right;
}

constexpr int kLayoutFirstCounter = __COUNTER__ + 1;

#define LAYOUT_CHECK(key, platform_value) LAYOUT_CHECK_AT(__COUNTER__ - kLayoutFirstCounter, key, platform_value)
#define LAYOUT_CHECK_AT(index, key, platform_value)                                             \
    static_assert(LayoutSameKey(kLayoutReference[index].Key, key),                               \
                  "the lists and layout_reference.h are out of step at " key);                   \
    static_assert(kLayoutReference[index].Value == static_cast<long long>(platform_value),       \
                  "platform/ differs from the DDK: " key);

// First pass: a function of each handler type, to be named in the assembly.
#define LAYOUT_SIZE(type)
#define LAYOUT_SCALAR(type)
#define LAYOUT_FIELD(type, field)
#define LAYOUT_FIELD_AS(type, field, reference_field)
#define LAYOUT_VALUE(name)
#define LAYOUT_HANDLER(type) extern "C" std::remove_pointer_t<type> LayoutProbe_##type;
#define LAYOUT_HANDLER_STDCALL_DEFAULT(type) extern "C" std::remove_pointer_t<type> LayoutProbe_##type;
#define LAYOUT_HANDLER_TYPE(type) extern "C" type LayoutProbe_##type;
#define LAYOUT_SKIP(name)
#include "layout_lists.inc"
#undef LAYOUT_SIZE
#undef LAYOUT_SCALAR
#undef LAYOUT_FIELD
#undef LAYOUT_FIELD_AS
#undef LAYOUT_VALUE
#undef LAYOUT_HANDLER
#undef LAYOUT_HANDLER_STDCALL_DEFAULT
#undef LAYOUT_HANDLER_TYPE

// Second pass: the checks. Each macro names its items itself, as in
// reference.c.
#define LAYOUT_PROBE(key, function) \
    __asm__ volatile("\n@layout@ " key " = %c0" : : "i"(&function));
#define LAYOUT_SIZE(type) LAYOUT_CHECK("size " #type, sizeof(type))
#define LAYOUT_SCALAR(type)                        \
    LAYOUT_CHECK("size " #type, sizeof(type))      \
    LAYOUT_CHECK("signed " #type, (type)-1 < 0)
#define LAYOUT_FIELD(type, field)                                             \
    LAYOUT_CHECK("offset " #type "." #field, __builtin_offsetof(type, field)) \
    LAYOUT_CHECK("fieldsize " #type "." #field, sizeof(((type *)nullptr)->field))
#define LAYOUT_FIELD_AS(type, field, reference_field)                         \
    LAYOUT_CHECK("offset " #type "." #field, __builtin_offsetof(type, field)) \
    LAYOUT_CHECK("fieldsize " #type "." #field, sizeof(((type *)nullptr)->field))
#define LAYOUT_VALUE(name) LAYOUT_CHECK("value " #name, name)
#define LAYOUT_HANDLER(type) LAYOUT_PROBE("handler " #type, LayoutProbe_##type)
#define LAYOUT_HANDLER_STDCALL_DEFAULT(type) LAYOUT_PROBE("handler " #type, LayoutProbe_##type)
#define LAYOUT_HANDLER_TYPE(type) LAYOUT_PROBE("handler " #type, LayoutProbe_##type)
#define LAYOUT_IMPORT(function) LAYOUT_PROBE("import " #function, function)

void LayoutPlatform()
{
#include "layout_lists.inc"
#include "platform_functions.inc"
}
