// Pool tags of secure device creation. A tag is named by the four characters
// that appear in memory, first character in the lowest byte: the form in
// which pool tools display tags.
#pragma once

#include "platform/types.h"

#define SECURITY_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

#define SDDL_ACL_TAG SECURITY_POOL_TAG('S', 'e', 'A', 'l')            // ACL under construction
#define SDDL_DESCRIPTOR_TAG SECURITY_POOL_TAG('S', 'e', 'S', 'd')     // the converted descriptor
#define SDDL_TERMINATED_COPY_TAG SECURITY_POOL_TAG('S', 'e', 'T', 's') // terminated copy of the input
#define REGISTRY_VALUE_TAG SECURITY_POOL_TAG('P', 'p', 'R', 'b')      // whole-value reply buffer
#define REGISTRY_STRING_TAG SECURITY_POOL_TAG('P', 'p', 'U', 'c')     // terminated copy of a REG_SZ
