// Why a request to rezezura failed, in words. The client library hands back
// the NTSTATUS the driver completed each request with, on Windows and on
// Linux alike; the messages are written per status and per request, so that
// each of the driver's answers reads as what it means for that request.
#pragma once

#include <string>

#include "client/rezezura_client.h"

enum class RelayOperation {
    OpenDevice,
    Attach,
    Read,
    Write,
    QueryOid,
    SetOid,
    WaitStatus,
};

// One sentence, ending with the status in hex.
std::string ExplainFailure(RelayOperation operation, const rezezura_result &result);
