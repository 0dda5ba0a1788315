#include "tools/relayctl/failure_messages.h"

#include <cstdio>
#include <cstring>
#include <span>

#include "tools/relayctl/statuses.h"

namespace {

struct StatusMessage {
    int32_t Status;
    const char *Text;
};

constexpr StatusMessage kNotAttached{kStatusInvalidHandle, "the handle is not attached to an adapter"};
constexpr StatusMessage kNotNow{kStatusInvalidDeviceState,
                                "the adapter is resetting or being unbound, or rezezura is stopping; try again"};
constexpr StatusMessage kLowPower{kStatusDevicePowerFailure, "the adapter is in a low-power state"};
constexpr StatusMessage kCancelled{kStatusCancelled, "the request was cancelled"};
constexpr StatusMessage kRemoved{kStatusDeviceRemoved, "the adapter was unbound from rezezura while the request waited"};
constexpr StatusMessage kResources{kStatusInsufficientResources,
                                   "rezezura or the adapter is short of memory or send descriptors; try again"};
constexpr StatusMessage kUnknownRequest{kStatusNotSupported, "the driver behind the device does not know this request"};
constexpr StatusMessage kNotReady{kStatusDeviceNotReady, "the adapter is not ready"};
constexpr StatusMessage kNoCable{kStatusDeviceNotConnected, "the adapter has no cable connected"};
constexpr StatusMessage kAdapterFailed{kStatusUnsuccessful, "the adapter failed the request"};
constexpr StatusMessage kAdapterRefused{kStatusInvalidDeviceRequest, "the adapter refused the request"};
constexpr StatusMessage kAdapterGone{kStatusNoMoreEntries, "NDIS no longer finds the adapter"};
constexpr StatusMessage kUnreachable{kStatusNetworkUnreachable, "the network is unreachable"};
constexpr StatusMessage kServiceGone{kStatusPipeDisconnected, "the connection to rezezura-host was lost"};

// The statuses each request can end with, from the driver or, translated,
// from the adapter.
constexpr StatusMessage kAttachStatuses[] = {
    {kStatusNoSuchDevice, "no adapter bound to rezezura has this device name; it must match exactly, "
                          "letter case included (relayctl list shows them)"},
    {kStatusDeviceAlreadyAttached, "this handle is already attached to an adapter"},
    kNotNow,
    kUnknownRequest,
    kServiceGone,
};
constexpr StatusMessage kReadStatuses[] = {
    kNotAttached, kNotNow, {kStatusInvalidBufferSize, "a read needs room for at least 14 bytes, an Ethernet header"},
    kCancelled,   kRemoved, kResources, kServiceGone,
};
constexpr StatusMessage kWriteStatuses[] = {
    kNotAttached, kLowPower, kNotNow,
    {kStatusInvalidParameter, "a frame needs at least 14 bytes: destination, source and type"},
    kResources, kAdapterFailed, kAdapterRefused, kNotReady, kNoCable, kUnreachable,
    {kStatusInvalidBufferSize, "the adapter refused the frame's length"},
    kCancelled, kRemoved, kServiceGone,
};
constexpr StatusMessage kQueryStatuses[] = {
    kNotAttached, kLowPower, kNotNow,
    {kStatusNotSupported, "the adapter does not support this OID"},
    {kStatusBufferTooSmall, "the value does not fit; ask again with a larger --length"},
    {kStatusInvalidBufferSize, "the adapter refused the buffer's length"},
    {kStatusInvalidParameter, "the adapter refused the request"},
    kResources, kAdapterFailed, kAdapterRefused, kNotReady, kNoCable, kAdapterGone, kServiceGone,
};
constexpr StatusMessage kSetStatuses[] = {
    kNotAttached, kLowPower, kNotNow,
    {kStatusNotSupported, "the adapter does not support setting this OID"},
    {kStatusBufferTooSmall, "the value is too short for this OID"},
    {kStatusInvalidBufferSize, "the value's length is wrong for this OID"},
    {kStatusInvalidParameter, "the adapter refused the value"},
    {kStatusMulticastFull, "the adapter's multicast list is full"},
    kResources, kAdapterFailed, kAdapterRefused, kNotReady, kNoCable, kAdapterGone, kServiceGone,
};
constexpr StatusMessage kWaitStatuses[] = {
    kNotAttached, kNotNow,
    {kStatusInvalidParameter, "rezezura waits only for media connect, media disconnect and media-specific indications"},
    kCancelled, kRemoved, kUnknownRequest, kServiceGone,
};

std::span<const StatusMessage> StatusesOf(RelayOperation operation)
{
    switch (operation) {
    case RelayOperation::Attach: return kAttachStatuses;
    case RelayOperation::Read: return kReadStatuses;
    case RelayOperation::Write: return kWriteStatuses;
    case RelayOperation::QueryOid: return kQueryStatuses;
    case RelayOperation::SetOid: return kSetStatuses;
    case RelayOperation::WaitStatus: return kWaitStatuses;
    case RelayOperation::OpenDevice: break;
    }
    return {};
}

std::string ExplainOpenFailure(const rezezura_result &result)
{
#ifdef _WIN32
    switch (result.status) {
    case kStatusObjectNameNotFound:
        return "rezezura is not running: there is no \\\\.\\rezezura (install and start it first)";
    case kStatusAccessDenied:
        return "only administrators and the local system account may open \\\\.\\rezezura";
    }
#else
    switch (result.status) {
    case kStatusObjectNameNotFound:
        return std::string("rezezura-host is not serving on its socket (") + std::strerror(result.system_error) +
               "); start it, or name its socket in " REZEZURA_SOCKET_VARIABLE;
    case kStatusAccessDenied:
        return "only root (the administrators) may open rezezura's control device";
    }
#endif
    return "the device could not be opened";
}

}  // namespace

std::string ExplainFailure(RelayOperation operation, const rezezura_result &result)
{
    std::string text;
    if (operation == RelayOperation::OpenDevice) {
        text = ExplainOpenFailure(result);
    } else {
        for (const StatusMessage &message : StatusesOf(operation)) {
            if (message.Status == result.status) {
                text = message.Text;
                break;
            }
        }
        if (text.empty()) {
            text = "the driver refused the request";
        }
    }
    char status[32];
    std::snprintf(status, sizeof status, " (status 0x%08X)", static_cast<unsigned>(result.status));
    return text + status;
}
