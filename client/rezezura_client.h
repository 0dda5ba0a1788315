/* The rezezura client library: one C API to the control device \\.\rezezura
 * on Windows (the driver itself) and on Linux (rezezura-host's socket).
 *
 * Open a client, attach it to one adapter by name, then read and write
 * whole Ethernet frames, query and set OIDs, and wait for media
 * indications. Every call returns the status the driver completed its
 * request with (an NTSTATUS) and the count of bytes returned or taken.
 * Calls on one client may be made from several threads at once; reads and
 * waits take a time limit after which the request is cancelled.
 *
 * On Linux the client connects to the socket REZEZURA_SOCKET names, or to
 * REZEZURA_DEFAULT_SOCKET. A call waiting for its answer looks for it
 * without sleeping for up to REZEZURA_BUSY_POLL microseconds (0 to 1000,
 * default 50; 0 never spins) before it sleeps: an answer that comes
 * meanwhile costs no wake-up. */
#ifndef REZEZURA_CLIENT_H
#define REZEZURA_CLIENT_H

#include <stdint.h>

#include "control/relay_ioctl.h"

#ifdef __cplusplus
extern "C" {
#endif

#define REZEZURA_DEFAULT_SOCKET "/run/rezezura/control"
#define REZEZURA_SOCKET_VARIABLE "REZEZURA_SOCKET"
#define REZEZURA_BUSY_POLL_VARIABLE "REZEZURA_BUSY_POLL"
#define REZEZURA_NO_TIME_LIMIT 0xFFFFFFFFu

/* Statuses a client meets most; every other is the driver's as it stands. */
#define REZEZURA_STATUS_SUCCESS 0x00000000
#define REZEZURA_STATUS_BUFFER_OVERFLOW ((int32_t)0x80000005)
#define REZEZURA_STATUS_ACCESS_DENIED ((int32_t)0xC0000022)
#define REZEZURA_STATUS_OBJECT_NAME_NOT_FOUND ((int32_t)0xC0000034)
#define REZEZURA_STATUS_NO_SUCH_DEVICE ((int32_t)0xC000000E)
#define REZEZURA_STATUS_CANCELLED ((int32_t)0xC0000120)
#define REZEZURA_STATUS_DEVICE_REMOVED ((int32_t)0xC00002B6)
#define REZEZURA_STATUS_NOT_SUPPORTED ((int32_t)0xC00000BB)
/* The service refused a request beyond the requests one client may have in
 * flight (Linux). */
#define REZEZURA_STATUS_INSUFFICIENT_RESOURCES ((int32_t)0xC000009A)
/* The service speaks another version of the socket's messages (Linux). */
#define REZEZURA_STATUS_REVISION_MISMATCH ((int32_t)0xC0000059)
/* The service closed the connection, or the client could not reach it. */
#define REZEZURA_STATUS_PIPE_DISCONNECTED ((int32_t)0xC00000B0)

/* OIDs a supplicant uses. */
#define REZEZURA_OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define REZEZURA_OID_GEN_MEDIA_CONNECT_STATUS 0x00010114
#define REZEZURA_OID_802_3_PERMANENT_ADDRESS 0x01010101
#define REZEZURA_OID_802_3_CURRENT_ADDRESS 0x01010102
#define REZEZURA_OID_802_3_MULTICAST_LIST 0x01010103
#define REZEZURA_PACKET_TYPE_DIRECTED 0x00000001
#define REZEZURA_PACKET_TYPE_MULTICAST 0x00000002
#define REZEZURA_PACKET_TYPE_ALL_MULTICAST 0x00000004
#define REZEZURA_PACKET_TYPE_PROMISCUOUS 0x00000020

typedef struct rezezura_client rezezura_client;

typedef struct rezezura_result {
    int32_t status;       /* NTSTATUS; negative is a failure */
    uint32_t information; /* bytes returned (read, query, wait) or taken (write, set) */
    int timed_out;        /* the time limit ran out and the request was cancelled */
    int system_error;     /* errno or Win32 error when the device could not be reached */
} rezezura_result;

/* Nonzero when the status is not a failure (a cut buffer is not one). */
int rezezura_succeeded(rezezura_result result);

/* Opens the control device; *client is set only on success. */
rezezura_result rezezura_open(rezezura_client **client);
/* Attaches the client to the adapter named "\Device\..." (UTF-8). On Linux
 * a bare interface name ("eth0") means "\Device\eth0". */
rezezura_result rezezura_attach(rezezura_client *client, const char *adapter);
/* One received EAPOL frame, cut to length. */
rezezura_result rezezura_read(rezezura_client *client, void *frame, uint32_t length, uint32_t timeout_ms);
/* A read started and not yet waited for. The driver keeps no frame for a
 * client that is not reading: a client that starts its next read before it
 * handles the frame it got misses none that the frame's answer brings. */
typedef struct rezezura_request rezezura_request;
/* Starts a read into frame and returns at once; *request is set on success. */
rezezura_result rezezura_start_read(rezezura_client *client, void *frame, uint32_t length,
                                    rezezura_request **request);
/* Waits for a started request to end, cancelling it past the time limit,
 * and lets it go; its buffer may be used again after. */
rezezura_result rezezura_finish(rezezura_request *request, uint32_t timeout_ms);
/* Sends one whole Ethernet frame unchanged. */
rezezura_result rezezura_write(rezezura_client *client, const void *frame, uint32_t length);
/* The adapter's value of an OID, into value. */
rezezura_result rezezura_query_oid(rezezura_client *client, uint32_t oid, void *value, uint32_t length);
/* Sets an OID; information is what the adapter took of the value. */
rezezura_result rezezura_set_oid(rezezura_client *client, uint32_t oid, const void *value, uint32_t length);
/* Waits for one indication (RELAY_WAIT_MEDIA_CONNECT, ..._DISCONNECT,
 * ..._SPECIFIC); its status buffer lands in buffer, cut to length. */
rezezura_result rezezura_wait_status(rezezura_client *client, uint32_t status, void *buffer, uint32_t length,
                                     uint32_t timeout_ms);
/* Cancels every request in flight on the client, from any thread; each
 * ends with its own result (REZEZURA_STATUS_CANCELLED). */
void rezezura_cancel(rezezura_client *client);
/* Closes the device; requests still in flight end first. */
void rezezura_close(rezezura_client *client);

#ifdef __cplusplus
}
#endif

#endif
