#include "text.h"

namespace {

int HexDigitValue(wchar_t digit)
{
    if (digit >= L'0' && digit <= L'9') {
        return digit - L'0';
    }
    if (digit >= L'a' && digit <= L'f') {
        return digit - L'a' + 10;
    }
    if (digit >= L'A' && digit <= L'F') {
        return digit - L'A' + 10;
    }
    return -1;
}

} // namespace

std::optional<uint32_t> ParseNumber(const std::wstring &text)
{
    unsigned base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
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

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::wstring &text)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (wchar_t character : text) {
        if (character == L' ' || character == L':' || character == L'-') {
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

std::wstring FormatHexBytes(const uint8_t *bytes, size_t count)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (size_t index = 0; index < count; ++index) {
        if (index > 0) {
            text += index % 16 == 0 ? L"\n    " : L" ";
        }
        text += digits[bytes[index] >> 4];
        text += digits[bytes[index] & 0xF];
    }
    return text;
}
