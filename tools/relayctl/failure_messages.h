// Why a request to rezezura failed, in words. The driver completes requests
// with NT status codes and Windows hands the client the Win32 error each one
// maps to; the messages are written per status, and matched through the
// system's own mapping, so that each of the driver's answers reads as what
// it means for that request.
#pragma once

#include <string>

#include "windows_api.h"

enum class RelayOperation {
    OpenDevice,
    Attach,
    Read,
    Write,
    QueryOid,
    SetOid,
    WaitStatus,
};

// One sentence, ending with the Win32 error number.
std::wstring ExplainFailure(RelayOperation operation, DWORD win32Error);
