// The MDLs the sim has handed out: what is left of them at the end of a test.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Live MDLs that belong to no buffer pool (a pool's buffers are its own
// report), one line each.
std::vector<std::string> MdlLeaks();
// Frees them: the end of a test that has already reported them.
void ReleaseAllMdls();

}  // namespace sim
