#include "failure_messages.h"

#include <span>

namespace {

struct StatusMessage {
    NTSTATUS Status;
    const wchar_t *Text;
};

constexpr StatusMessage kNotAttached{STATUS_INVALID_HANDLE, L"the handle is not attached to an adapter"};
constexpr StatusMessage kNotNow{STATUS_INVALID_DEVICE_STATE,
                                L"the adapter is resetting or being unbound, or rezezura is stopping; "
                                L"try again"};
constexpr StatusMessage kLowPower{STATUS_DEVICE_POWER_FAILURE, L"the adapter is in a low-power state"};
constexpr StatusMessage kCancelled{STATUS_CANCELLED, L"the request was cancelled"};
constexpr StatusMessage kRemoved{STATUS_DEVICE_REMOVED,
                                 L"the adapter was unbound from rezezura while the request waited"};
constexpr StatusMessage kResources{STATUS_INSUFFICIENT_RESOURCES,
                                   L"rezezura or the adapter is short of memory or send descriptors; "
                                   L"try again"};
constexpr StatusMessage kUnknownRequest{STATUS_NOT_SUPPORTED,
                                        L"the driver behind \\\\.\\rezezura does not know this request"};
constexpr StatusMessage kNotReady{STATUS_DEVICE_NOT_READY, L"the adapter is not ready"};
constexpr StatusMessage kNoCable{STATUS_DEVICE_NOT_CONNECTED, L"the adapter has no cable connected"};
constexpr StatusMessage kAdapterFailed{STATUS_UNSUCCESSFUL, L"the adapter failed the request"};
constexpr StatusMessage kAdapterRefused{STATUS_INVALID_DEVICE_REQUEST, L"the adapter refused the request"};
constexpr StatusMessage kAdapterGone{STATUS_NO_MORE_ENTRIES, L"NDIS no longer finds the adapter"};
constexpr StatusMessage kUnreachable{STATUS_NETWORK_UNREACHABLE, L"the network is unreachable"};

// The statuses each request can end with, from the driver or, translated,
// from the adapter.
constexpr StatusMessage kAttachStatuses[] = {
    {STATUS_NO_SUCH_DEVICE, L"no adapter bound to rezezura has this device name; it must match exactly, "
                            L"letter case included, as in \\Device\\{GUID}"},
    {STATUS_DEVICE_ALREADY_ATTACHED, L"this handle is already attached to an adapter"},
    kNotNow,
    kUnknownRequest,
};
constexpr StatusMessage kReadStatuses[] = {
    kNotAttached,
    kNotNow,
    {STATUS_INVALID_BUFFER_SIZE, L"a read needs room for at least 14 bytes, an Ethernet header"},
    kCancelled,
    kRemoved,
    kResources,
};
constexpr StatusMessage kWriteStatuses[] = {
    kNotAttached,
    kLowPower,
    kNotNow,
    {STATUS_INVALID_PARAMETER, L"a frame needs at least 14 bytes: destination, source and type"},
    kResources,
    kAdapterFailed,
    kAdapterRefused,
    kNotReady,
    kNoCable,
    kUnreachable,
    {STATUS_INVALID_BUFFER_SIZE, L"the adapter refused the frame's length"},
    kCancelled,
    kRemoved,
};
constexpr StatusMessage kQueryStatuses[] = {
    kNotAttached,
    kLowPower,
    kNotNow,
    {STATUS_NOT_SUPPORTED, L"the adapter does not support this OID"},
    {STATUS_BUFFER_TOO_SMALL, L"the value does not fit; ask again with a larger --length"},
    {STATUS_INVALID_BUFFER_SIZE, L"the adapter refused the buffer's length"},
    {STATUS_INVALID_PARAMETER, L"the adapter refused the request"},
    kResources,
    kAdapterFailed,
    kAdapterRefused,
    kNotReady,
    kNoCable,
    kAdapterGone,
};
constexpr StatusMessage kSetStatuses[] = {
    kNotAttached,
    kLowPower,
    kNotNow,
    {STATUS_NOT_SUPPORTED, L"the adapter does not support setting this OID"},
    {STATUS_BUFFER_TOO_SMALL, L"the value is too short for this OID"},
    {STATUS_INVALID_BUFFER_SIZE, L"the value's length is wrong for this OID"},
    {STATUS_INVALID_PARAMETER, L"the adapter refused the value"},
    kResources,
    kAdapterFailed,
    kAdapterRefused,
    kNotReady,
    kNoCable,
    kAdapterGone,
};
constexpr StatusMessage kWaitStatuses[] = {
    kNotAttached,
    kNotNow,
    {STATUS_INVALID_PARAMETER, L"rezezura waits only for media connect, media disconnect and "
                               L"media-specific indications"},
    kCancelled,
    kRemoved,
    kUnknownRequest,
};

std::span<const StatusMessage> StatusesOf(RelayOperation operation)
{
    switch (operation) {
    case RelayOperation::Attach:
        return kAttachStatuses;
    case RelayOperation::Read:
        return kReadStatuses;
    case RelayOperation::Write:
        return kWriteStatuses;
    case RelayOperation::QueryOid:
        return kQueryStatuses;
    case RelayOperation::SetOid:
        return kSetStatuses;
    case RelayOperation::WaitStatus:
        return kWaitStatuses;
    case RelayOperation::OpenDevice:
        break;
    }
    return {};
}

std::wstring SystemText(DWORD win32Error)
{
    wchar_t *text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, win32Error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring result = length != 0 ? std::wstring(text, length) : L"an error Windows does not describe";
    LocalFree(text);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L'.')) {
        result.pop_back();
    }
    return result;
}

std::wstring ExplainOpenFailure(DWORD win32Error)
{
    switch (win32Error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return L"rezezura is not running: there is no \\\\.\\rezezura (install and start it first)";
    case ERROR_ACCESS_DENIED:
        return L"only administrators and the local system account may open \\\\.\\rezezura";
    default:
        return SystemText(win32Error);
    }
}

} // namespace

std::wstring ExplainFailure(RelayOperation operation, DWORD win32Error)
{
    std::wstring text;
    if (operation == RelayOperation::OpenDevice) {
        text = ExplainOpenFailure(win32Error);
    } else {
        // Several statuses can map to one Win32 error; name them all.
        for (const StatusMessage &message : StatusesOf(operation)) {
            if (RtlNtStatusToDosError(message.Status) == win32Error) {
                text += text.empty() ? L"" : L"; or ";
                text += message.Text;
            }
        }
        if (text.empty()) {
            text = SystemText(win32Error);
        }
    }
    return text + L" (Windows error " + std::to_wstring(win32Error) + L")";
}
