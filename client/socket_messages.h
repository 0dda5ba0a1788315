// The messages between rezezura-host and its clients on the service's UNIX
// SOCK_SEQPACKET socket: one message a datagram, sent with one sendmsg and
// taken with one recvmsg. Every message starts with a header, all numbers
// little-endian:
//
//   u32 length    bytes of the whole message, header included: the datagram's size
//   u16 version   kSocketVersion
//   u16 kind      MessageKind
//   u64 id        the request's id, chosen by the client; 0 for the greeting
//
// A client sends requests: read (u32 length), write (the frame), device
// control (u32 code, u32 output length, then the input bytes) and cancel
// (u64 id of the request to cancel; it has no answer of its own, the
// cancelled request's answer follows). Ids of requests in flight must
// differ; up to kMaxInFlight may be in flight on one connection, and one
// beyond them is answered at once with kStatusInsufficientResources.
//
// The service answers each request once, in the order they complete:
// i32 NTSTATUS, u32 Information, then the bytes returned (a read's frame, a
// control request's output). Right after accepting it greets the client
// with an answer of id 0 carrying the status of the open of the control
// device with the client's credentials; after a failure it closes the
// connection. A request of another version is answered with
// kStatusRevisionMismatch, and the connection closed; a client that finds
// another version in the greeting refuses the service the same way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rezezura::socket {

constexpr uint16_t kSocketVersion = 2;
constexpr size_t kHeaderSize = 16;
constexpr size_t kAnswerPrefixSize = 8;  // status and Information
// The largest message either side accepts: a buffer of 64 KiB with its header.
constexpr uint32_t kMaxPayload = 65536 + 8;
constexpr uint32_t kMaxMessage = kHeaderSize + kMaxPayload;
// Rooms a request may ask for: a read's length, a control request's output.
constexpr uint32_t kMaxRoom = 65536;
// Requests one connection may have in flight.
constexpr size_t kMaxInFlight = 64;

// STATUS_INSUFFICIENT_RESOURCES: a request beyond kMaxInFlight.
constexpr int32_t kStatusInsufficientResources = static_cast<int32_t>(0xC000009A);
// STATUS_REVISION_MISMATCH: a message of another version.
constexpr int32_t kStatusRevisionMismatch = static_cast<int32_t>(0xC0000059);

enum class MessageKind : uint16_t {
    Read = 1,
    Write = 2,
    DeviceControl = 3,
    Cancel = 4,
    Answer = 0x80,
};

struct Header {
    uint32_t length = 0;
    uint16_t version = kSocketVersion;
    MessageKind kind = MessageKind::Answer;
    uint64_t id = 0;
};

inline void PutU16(uint8_t *at, uint16_t value)
{
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}

inline void PutU32(uint8_t *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        at[i] = uint8_t(value >> (8 * i));
    }
}

inline void PutU64(uint8_t *at, uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        at[i] = uint8_t(value >> (8 * i));
    }
}

inline uint16_t GetU16(const uint8_t *at)
{
    return uint16_t(at[0] | (at[1] << 8));
}

inline uint32_t GetU32(const uint8_t *at)
{
    return uint32_t(at[0]) | (uint32_t(at[1]) << 8) | (uint32_t(at[2]) << 16) | (uint32_t(at[3]) << 24);
}

inline uint64_t GetU64(const uint8_t *at)
{
    return uint64_t(GetU32(at)) | (uint64_t(GetU32(at + 4)) << 32);
}

inline void EncodeHeader(const Header &header, uint8_t *out)
{
    PutU32(out, header.length);
    PutU16(out + 4, header.version);
    PutU16(out + 6, static_cast<uint16_t>(header.kind));
    PutU64(out + 8, header.id);
}

inline Header DecodeHeader(const uint8_t *in)
{
    Header header;
    header.length = GetU32(in);
    header.version = GetU16(in + 4);
    header.kind = static_cast<MessageKind>(GetU16(in + 6));
    header.id = GetU64(in + 8);
    return header;
}

// Whether a header of this version can start a request of `size` bytes:
// the datagram's size, a known kind and enough for the kind's fixed fields.
inline bool ValidRequestHeader(const Header &header, size_t size)
{
    if (header.length != size || header.length < kHeaderSize || header.length > kMaxMessage) {
        return false;
    }
    size_t body = header.length - kHeaderSize;
    switch (header.kind) {
    case MessageKind::Read: return body == 4;
    case MessageKind::Write: return true;
    case MessageKind::DeviceControl: return body >= 8;
    case MessageKind::Cancel: return body == 8;
    default: return false;
    }
}

// The same for an answer of this version from the service.
inline bool ValidAnswerHeader(const Header &header)
{
    return header.kind == MessageKind::Answer && header.length >= kHeaderSize + kAnswerPrefixSize &&
           header.length <= kMaxMessage;
}

}  // namespace rezezura::socket
