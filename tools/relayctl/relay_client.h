// The client's side of the control device: open it, attach the handle to an
// adapter, then read, write, query, set and wait on that handle. Every
// request is overlapped, so that reads and waits can be given a time limit
// after which they are cancelled.
#pragma once

#include <cstdint>
#include <string>

#include "windows_api.h"

struct RelayDevice {
    HANDLE File = INVALID_HANDLE_VALUE;
    HANDLE Completion = nullptr; // event of the request in flight
};

// How one request ended. Win32Error is ERROR_SUCCESS on success and
// ERROR_MORE_DATA when the data was cut to the buffer (the bytes still
// count); anything else is a failure.
struct RelayOutcome {
    DWORD Win32Error = ERROR_SUCCESS;
    DWORD Bytes = 0;
    bool TimedOut = false;

    bool Succeeded() const { return Win32Error == ERROR_SUCCESS || Win32Error == ERROR_MORE_DATA; }
};

constexpr DWORD kNoTimeLimit = INFINITE;

// Opens RELAY_DEVICE_PATH for reading and writing; returns the Win32 error.
DWORD RelayOpen(RelayDevice &device);
void RelayClose(RelayDevice &device);

// IOCTL_RELAY_OPEN_ADAPTER with the adapter's device name, "\Device\{...}".
RelayOutcome RelayAttach(RelayDevice &device, const std::wstring &adapterName);

// One whole frame into buffer, cut to length.
RelayOutcome RelayRead(RelayDevice &device, void *buffer, DWORD length, DWORD timeoutMs);
RelayOutcome RelayWrite(RelayDevice &device, const void *frame, DWORD length);

// The OID's value into buffer; Bytes is what the adapter wrote.
RelayOutcome RelayQueryOid(RelayDevice &device, uint32_t oid, void *buffer, DWORD length);
// Bytes is what the adapter read of the value.
RelayOutcome RelaySetOid(RelayDevice &device, uint32_t oid, const void *value, DWORD length);

// Waits for one indication (RELAY_WAIT_MEDIA_...); its status buffer lands
// in buffer, cut to length.
RelayOutcome RelayWaitStatus(RelayDevice &device, uint32_t status, void *buffer, DWORD length,
                             DWORD timeoutMs);
