// The client library on Windows: the control device opened with
// CreateFile, each call one overlapped ReadFile, WriteFile or
// DeviceIoControl with an event of its own, its result the NTSTATUS and
// byte count the I/O manager left in the OVERLAPPED.
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/adapter_name.h"
#include "client/rezezura_client.h"

extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);

struct rezezura_client {
    HANDLE file = INVALID_HANDLE_VALUE;
};

namespace {

using CancelIoExRoutine = BOOL(WINAPI *)(HANDLE, LPOVERLAPPED);

// CancelIoEx (Windows Vista on) reaches a request from any thread; before
// it, CancelIo reaches only the calling thread's.
CancelIoExRoutine CancelAnyThread()
{
    return reinterpret_cast<CancelIoExRoutine>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CancelIoEx")));
}

rezezura_result Failure(int32_t status, DWORD error)
{
    rezezura_result result{};
    result.status = status;
    result.system_error = static_cast<int>(error);
    return result;
}

// Waits for the request that `started` began. Past the time limit the
// request is cancelled and its end awaited, so that no request outlives the
// buffers it was given.
rezezura_result Finish(rezezura_client *client, OVERLAPPED &overlapped, BOOL started, DWORD timeoutMs)
{
    rezezura_result result{};
    if (!started) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
            // Refused before it started: the status is still the request's own.
            result.status = static_cast<int32_t>(overlapped.Internal);
            result.system_error = static_cast<int>(error);
            if (result.status == 0 || result.status == STATUS_PENDING) {
                result.status = static_cast<int32_t>(RtlGetLastNtStatus());
            }
            CloseHandle(overlapped.hEvent);
            return result;
        }
    }
    bool cancelled = false;
    if (WaitForSingleObject(overlapped.hEvent, timeoutMs) == WAIT_TIMEOUT) {
        CancelIoExRoutine cancel = CancelAnyThread();
        if (cancel != nullptr) {
            cancel(client->file, &overlapped);
        } else {
            CancelIo(client->file);
        }
        cancelled = true;
    }
    DWORD bytes = 0;
    if (!GetOverlappedResult(client->file, &overlapped, &bytes, TRUE)) {
        result.system_error = static_cast<int>(GetLastError());
    }
    result.status = static_cast<int32_t>(overlapped.Internal);
    result.information = static_cast<uint32_t>(overlapped.InternalHigh);
    result.timed_out = cancelled && result.status == STATUS_CANCELLED;
    CloseHandle(overlapped.hEvent);
    return result;
}

bool Prepare(OVERLAPPED &overlapped)
{
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return overlapped.hEvent != nullptr;
}

rezezura_result Control(rezezura_client *client, DWORD code, const void *input, DWORD inputLength, void *output,
                        DWORD outputLength, DWORD timeoutMs)
{
    OVERLAPPED overlapped;
    if (!Prepare(overlapped)) {
        return Failure(STATUS_INSUFFICIENT_RESOURCES, GetLastError());
    }
    BOOL started = DeviceIoControl(client->file, code, const_cast<void *>(input), inputLength, output,
                                   outputLength, nullptr, &overlapped);
    return Finish(client, overlapped, started, timeoutMs);
}

std::vector<uint8_t> Le32(uint32_t value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

}  // namespace

extern "C" {

rezezura_result rezezura_open(rezezura_client **client)
{
    HANDLE file = CreateFileA(RELAY_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return Failure(static_cast<int32_t>(RtlGetLastNtStatus()), error);
    }
    *client = new rezezura_client;
    (*client)->file = file;
    return rezezura_result{};
}

rezezura_result rezezura_attach(rezezura_client *client, const char *adapter)
{
    std::vector<uint8_t> name = rezezura::AdapterNameBytes(adapter);
    if (name.empty()) {
        return Failure(REZEZURA_STATUS_NO_SUCH_DEVICE, ERROR_INVALID_NAME);
    }
    return Control(client, IOCTL_RELAY_OPEN_ADAPTER, name.data(), static_cast<DWORD>(name.size()), nullptr, 0,
                   INFINITE);
}

rezezura_result rezezura_read(rezezura_client *client, void *frame, uint32_t length, uint32_t timeout_ms)
{
    OVERLAPPED overlapped;
    if (!Prepare(overlapped)) {
        return Failure(STATUS_INSUFFICIENT_RESOURCES, GetLastError());
    }
    BOOL started = ReadFile(client->file, frame, length, nullptr, &overlapped);
    return Finish(client, overlapped, started, timeout_ms);
}

struct rezezura_request {
    rezezura_client *client;
    OVERLAPPED overlapped;
    BOOL started;
};

rezezura_result rezezura_start_read(rezezura_client *client, void *frame, uint32_t length,
                                    rezezura_request **request)
{
    auto *started = new rezezura_request{client, {}, FALSE};
    if (!Prepare(started->overlapped)) {
        delete started;
        return Failure(STATUS_INSUFFICIENT_RESOURCES, GetLastError());
    }
    started->started = ReadFile(client->file, frame, length, nullptr, &started->overlapped);
    DWORD error = started->started ? ERROR_SUCCESS : GetLastError();
    if (!started->started && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
        rezezura_result result = Finish(client, started->overlapped, FALSE, 0);
        delete started;
        return result;
    }
    SetLastError(error);
    *request = started;
    return rezezura_result{};
}

rezezura_result rezezura_finish(rezezura_request *request, uint32_t timeout_ms)
{
    // The read began, so Finish only waits, and cancels past the limit.
    rezezura_result result = Finish(request->client, request->overlapped, TRUE, timeout_ms);
    delete request;
    return result;
}

rezezura_result rezezura_write(rezezura_client *client, const void *frame, uint32_t length)
{
    OVERLAPPED overlapped;
    if (!Prepare(overlapped)) {
        return Failure(STATUS_INSUFFICIENT_RESOURCES, GetLastError());
    }
    BOOL started = WriteFile(client->file, frame, length, nullptr, &overlapped);
    return Finish(client, overlapped, started, INFINITE);
}

rezezura_result rezezura_query_oid(rezezura_client *client, uint32_t oid, void *value, uint32_t length)
{
    // The OID goes in bytes 0-3 of the input; the value comes back over it.
    std::vector<uint8_t> input = Le32(oid);
    return Control(client, IOCTL_RELAY_QUERY_OID, input.data(), 4, value, length, INFINITE);
}

rezezura_result rezezura_set_oid(rezezura_client *client, uint32_t oid, const void *value, uint32_t length)
{
    std::vector<uint8_t> input = Le32(oid);
    const auto *bytes = static_cast<const uint8_t *>(value);
    input.insert(input.end(), bytes, bytes + length);
    // Room for the whole value lets the adapter's count of bytes taken through uncut.
    std::vector<uint8_t> output(length);
    return Control(client, IOCTL_RELAY_SET_OID, input.data(), static_cast<DWORD>(input.size()), output.data(),
                   length, INFINITE);
}

rezezura_result rezezura_wait_status(rezezura_client *client, uint32_t status, void *buffer, uint32_t length,
                                     uint32_t timeout_ms)
{
    std::vector<uint8_t> input = Le32(status);
    return Control(client, IOCTL_RELAY_WAIT_STATUS, input.data(), 4, buffer, length, timeout_ms);
}

void rezezura_cancel(rezezura_client *client)
{
    // Before CancelIoEx, only each thread's own time limits cancel.
    CancelIoExRoutine cancelAll = CancelAnyThread();
    if (cancelAll != nullptr) {
        cancelAll(client->file, nullptr);
    }
}

void rezezura_close(rezezura_client *client)
{
    if (client == nullptr) {
        return;
    }
    CloseHandle(client->file);
    delete client;
}

}  // extern "C"
