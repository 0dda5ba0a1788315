// The NT status codes relayctl explains, by value, on every platform.
#pragma once

#include <cstdint>

constexpr int32_t Status(uint32_t value)
{
    return static_cast<int32_t>(value);
}

constexpr int32_t kStatusUnsuccessful = Status(0xC0000001);
constexpr int32_t kStatusInvalidHandle = Status(0xC0000008);
constexpr int32_t kStatusInvalidParameter = Status(0xC000000D);
constexpr int32_t kStatusNoSuchDevice = Status(0xC000000E);
constexpr int32_t kStatusInvalidDeviceRequest = Status(0xC0000010);
constexpr int32_t kStatusBufferTooSmall = Status(0xC0000023);
constexpr int32_t kStatusAccessDenied = Status(0xC0000022);
constexpr int32_t kStatusObjectNameNotFound = Status(0xC0000034);
constexpr int32_t kStatusDeviceAlreadyAttached = Status(0xC0000038);
constexpr int32_t kStatusInsufficientResources = Status(0xC000009A);
constexpr int32_t kStatusDevicePowerFailure = Status(0xC000009E);
constexpr int32_t kStatusDeviceNotReady = Status(0xC00000A3);
constexpr int32_t kStatusPipeDisconnected = Status(0xC00000B0);
constexpr int32_t kStatusNotSupported = Status(0xC00000BB);
constexpr int32_t kStatusInvalidBufferSize = Status(0xC0000206);
constexpr int32_t kStatusCancelled = Status(0xC0000120);
constexpr int32_t kStatusInvalidDeviceState = Status(0xC0000184);
constexpr int32_t kStatusNetworkUnreachable = Status(0xC000023C);
constexpr int32_t kStatusDeviceNotConnected = Status(0xC000009D);
constexpr int32_t kStatusDeviceRemoved = Status(0xC00002B6);
constexpr int32_t kStatusNoMoreEntries = Status(0x8000001A);
constexpr int32_t kStatusMulticastFull = Status(0xC0230009);  // NDIS_STATUS_MULTICAST_FULL in the NDIS facility
