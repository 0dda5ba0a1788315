#include "client/adapter_name.h"

#include "client/rezezura_client.h"

namespace rezezura {

std::vector<uint8_t> AdapterNameBytes(const std::string &utf8)
{
    std::vector<uint8_t> bytes;
    auto put = [&bytes](uint32_t unit) {
        bytes.push_back(uint8_t(unit));
        bytes.push_back(uint8_t(unit >> 8));
    };
    for (size_t at = 0; at < utf8.size();) {
        uint8_t lead = static_cast<uint8_t>(utf8[at]);
        size_t extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : 4;
        if (extra == 4 || at + extra >= utf8.size()) {
            return {};
        }
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (size_t i = 1; i <= extra; ++i) {
            uint8_t next = static_cast<uint8_t>(utf8[at + i]);
            if ((next >> 6) != 2) {
                return {};
            }
            code = (code << 6) | (next & 0x3F);
        }
        at += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            put(0xD800 + (code >> 10));
            put(0xDC00 + (code & 0x3FF));
        } else {
            put(code);
        }
    }
    return bytes;
}

}  // namespace rezezura

extern "C" int rezezura_succeeded(rezezura_result result)
{
    return result.status >= 0;
}
