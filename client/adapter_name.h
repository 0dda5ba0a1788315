// Adapter names as the driver compares them: UTF-16 code units, without a
// terminator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rezezura {

// The UTF-8 name as UTF-16LE bytes; bad UTF-8 gives nothing.
std::vector<uint8_t> AdapterNameBytes(const std::string &utf8);

}  // namespace rezezura
