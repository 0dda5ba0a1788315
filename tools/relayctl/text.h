// Reading numbers and hex bytes from the command line, and writing bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// "0x1010E" or "65806"; nothing else, and nothing above 32 bits.
std::optional<uint32_t> ParseNumber(const std::string &text);

// Pairs of hex digits, optionally separated by spaces, colons or dashes:
// "01:80:c2:00:00:03" or "0180c2000003". An odd digit count is refused.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string &text);

// "01 80 c2 00 00 03", sixteen bytes to a line after the first.
std::string FormatHexBytes(const uint8_t *bytes, size_t count);
