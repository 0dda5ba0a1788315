// Reading one whole piece of a message from a stream socket, for both ends
// of the service's socket: the service reading requests, the client library
// reading answers.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace rezezura::socket {

// Receives exactly `count` bytes into `into`, however the socket hands them
// over; false when the peer closed the connection or the socket failed first.
inline bool ReceiveExactly(int socket, uint8_t *into, size_t count)
{
    while (count > 0) {
        ssize_t got = recv(socket, into, count, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        into += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace rezezura::socket
