// EAPOL and EAP frames (IEEE 802.1X, RFC 3748) as the demo's client and
// authenticator build and read them, with the EAP-MD5 challenge (RFC 1994 style).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tools/demo/md5.h"

namespace demo {

using Mac = std::array<uint8_t, 6>;

constexpr uint16_t kEapolEtherType = 0x888E;
// The port access entity group address authenticators listen on.
constexpr Mac kPaeGroupAddress = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x03};

enum class EapolType : uint8_t { EapPacket = 0, Start = 1, Logoff = 2 };
enum class EapCode : uint8_t { Request = 1, Response = 2, Success = 3, Failure = 4 };
enum class EapMethod : uint8_t { Identity = 1, Md5Challenge = 4 };

// An Ethernet II frame, padded to the 60-byte minimum.
std::vector<uint8_t> EthernetFrame(const Mac &destination, const Mac &source, uint16_t etherType,
                                   std::span<const uint8_t> payload);

std::vector<uint8_t> EapolStart(const Mac &destination, const Mac &source);
// An EAP packet in an EAPOL frame; `method` is present for requests and responses.
std::vector<uint8_t> EapolEap(const Mac &destination, const Mac &source, EapCode code,
                              uint8_t identifier, std::optional<EapMethod> method,
                              std::span<const uint8_t> data);

struct EapolFrame {
    Mac destination;
    Mac source;
    EapolType type;
    // For EAP packets:
    EapCode code;
    uint8_t identifier;
    std::optional<EapMethod> method;
    std::vector<uint8_t> data;
};

// Reads an EAPOL frame; nothing for any other frame or a malformed one.
std::optional<EapolFrame> ParseEapol(std::span<const uint8_t> frame);

// The EAP-MD5 response value: MD5 over identifier, secret and challenge.
Md5Digest Md5ChallengeResponse(uint8_t identifier, std::string_view secret,
                               std::span<const uint8_t> challenge);

}  // namespace demo
