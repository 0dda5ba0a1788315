#include "relay_client.h"

#include <cstring>
#include <vector>

#include "control/relay_ioctl.h"

namespace {

// Waits for the request that started (or failed to start) with `started`.
// Past the time limit the request is cancelled and its end awaited, so that
// no request outlives the buffers it was given.
RelayOutcome FinishRequest(RelayDevice &device, OVERLAPPED &overlapped, BOOL started, DWORD timeoutMs)
{
    RelayOutcome outcome;
    if (!started) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
            outcome.Win32Error = error;
            return outcome;
        }
    }
    bool cancelled = false;
    if (WaitForSingleObject(device.Completion, timeoutMs) == WAIT_TIMEOUT) {
        CancelIo(device.File);
        cancelled = true;
    }
    if (!GetOverlappedResult(device.File, &overlapped, &outcome.Bytes, TRUE)) {
        outcome.Win32Error = GetLastError();
        // Ended by the cancellation, not by something that overtook it.
        outcome.TimedOut = cancelled && outcome.Win32Error == ERROR_OPERATION_ABORTED;
    }
    return outcome;
}

RelayOutcome Control(RelayDevice &device, DWORD code, const void *input, DWORD inputLength, void *output,
                     DWORD outputLength, DWORD timeoutMs)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = device.Completion;
    BOOL started = DeviceIoControl(device.File, code, const_cast<void *>(input), inputLength, output,
                                   outputLength, nullptr, &overlapped);
    return FinishRequest(device, overlapped, started, timeoutMs);
}

} // namespace

DWORD RelayOpen(RelayDevice &device)
{
    device.Completion = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (device.Completion == nullptr) {
        return GetLastError();
    }
    device.File = CreateFileA(RELAY_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (device.File == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        RelayClose(device);
        return error;
    }
    return ERROR_SUCCESS;
}

void RelayClose(RelayDevice &device)
{
    if (device.File != INVALID_HANDLE_VALUE) {
        CloseHandle(device.File);
        device.File = INVALID_HANDLE_VALUE;
    }
    if (device.Completion != nullptr) {
        CloseHandle(device.Completion);
        device.Completion = nullptr;
    }
}

RelayOutcome RelayAttach(RelayDevice &device, const std::wstring &adapterName)
{
    // The name as UTF-16 code units, without a terminator: the driver
    // compares byte lengths exactly.
    DWORD length = static_cast<DWORD>(adapterName.size() * sizeof(wchar_t));
    return Control(device, IOCTL_RELAY_OPEN_ADAPTER, adapterName.data(), length, nullptr, 0, kNoTimeLimit);
}

RelayOutcome RelayRead(RelayDevice &device, void *buffer, DWORD length, DWORD timeoutMs)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = device.Completion;
    BOOL started = ReadFile(device.File, buffer, length, nullptr, &overlapped);
    return FinishRequest(device, overlapped, started, timeoutMs);
}

RelayOutcome RelayWrite(RelayDevice &device, const void *frame, DWORD length)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = device.Completion;
    BOOL started = WriteFile(device.File, frame, length, nullptr, &overlapped);
    return FinishRequest(device, overlapped, started, kNoTimeLimit);
}

RelayOutcome RelayQueryOid(RelayDevice &device, uint32_t oid, void *buffer, DWORD length)
{
    // The OID goes in bytes 0-3 of the input; the value comes back over it.
    uint8_t input[sizeof(oid)];
    std::memcpy(input, &oid, sizeof(oid));
    return Control(device, IOCTL_RELAY_QUERY_OID, input, sizeof(input), buffer, length, kNoTimeLimit);
}

RelayOutcome RelaySetOid(RelayDevice &device, uint32_t oid, const void *value, DWORD length)
{
    // The OID in bytes 0-3, the value after it.
    std::vector<uint8_t> input(sizeof(oid));
    std::memcpy(input.data(), &oid, sizeof(oid));
    const uint8_t *bytes = static_cast<const uint8_t *>(value);
    input.insert(input.end(), bytes, bytes + length);
    // The adapter's count of bytes read comes back as the request's byte
    // count, which the driver keeps within the output room offered; room for
    // the whole value lets the count through uncut.
    std::vector<uint8_t> output(length);
    return Control(device, IOCTL_RELAY_SET_OID, input.data(), static_cast<DWORD>(input.size()), output.data(),
                   length, kNoTimeLimit);
}

RelayOutcome RelayWaitStatus(RelayDevice &device, uint32_t status, void *buffer, DWORD length,
                             DWORD timeoutMs)
{
    uint8_t input[sizeof(status)];
    std::memcpy(input, &status, sizeof(status));
    return Control(device, IOCTL_RELAY_WAIT_STATUS, input, sizeof(input), buffer, length, timeoutMs);
}
