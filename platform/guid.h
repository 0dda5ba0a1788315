// Globally unique identifiers, as the platform lays them out.
#pragma once

#include "platform/types.h"

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID *LPCGUID;

static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
