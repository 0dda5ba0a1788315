// The control device's name for clients and its device-control codes,
// shared by the driver and its clients. Plain C with no kernel types, so
// that user-mode programs in C or C++ include it as it stands.
#pragma once

// The device as a Win32 path: the link \DosDevices\rezezura.
#define RELAY_DEVICE_PATH "\\\\.\\rezezura"

// Each code is device type FILE_DEVICE_NETWORK (0x12), required access
// FILE_READ_ACCESS | FILE_WRITE_ACCESS (3) and transfer METHOD_BUFFERED (0):
// (0x12 << 16) | (3 << 14) | (function << 2).
#define IOCTL_RELAY_OPEN_ADAPTER 0x0012E800 // function 0xA00
#define IOCTL_RELAY_QUERY_OID 0x0012E840    // function 0xA10
#define IOCTL_RELAY_SET_OID 0x0012E880      // function 0xA20
#define IOCTL_RELAY_WAIT_STATUS 0x0012E900  // function 0xA40

// The indications IOCTL_RELAY_WAIT_STATUS waits for (its input, bytes 0-3):
// the NDIS statuses of media connect, media disconnect and a media-specific
// indication.
#define RELAY_WAIT_MEDIA_CONNECT 0x4001000B
#define RELAY_WAIT_MEDIA_DISCONNECT 0x4001000C
#define RELAY_WAIT_MEDIA_SPECIFIC 0x40010012
