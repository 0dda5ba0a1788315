// MD5 (RFC 1321), for the EAP-MD5 challenge of the demo's 802.1X exchange.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace demo {

using Md5Digest = std::array<uint8_t, 16>;

Md5Digest Md5(std::span<const uint8_t> data);

}  // namespace demo
