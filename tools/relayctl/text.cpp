#include "tools/relayctl/text.h"

namespace {

int HexDigitValue(char digit)
{
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

} // namespace

std::optional<uint32_t> ParseNumber(const std::string &text)
{
    unsigned base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    if (start == text.size()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (size_t index = start; index < text.size(); ++index) {
        int digit = HexDigitValue(text[index]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) {
            return std::nullopt;
        }
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFu) {
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(value);
}

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string &text)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char character : text) {
        if (character == ' ' || character == ':' || character == '-') {
            if (high >= 0) {
                return std::nullopt; // a separator inside a byte
            }
            continue;
        }
        int digit = HexDigitValue(character);
        if (digit < 0) {
            return std::nullopt;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::nullopt;
    }
    return bytes;
}

std::string FormatHexBytes(const uint8_t *bytes, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t index = 0; index < count; ++index) {
        if (index > 0) {
            text += index % 16 == 0 ? "\n    " : " ";
        }
        text += digits[bytes[index] >> 4];
        text += digits[bytes[index] & 0xF];
    }
    return text;
}
