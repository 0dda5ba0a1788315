// The MDLs the sim has handed out: what is left of them at the end of a test.
//
// MmMapLockedPagesSpecifyCache maps an MDL over locked pages at a system
// address of its own: a shadow holding the pages' bytes, whose bytes go back
// to the pages when the MDL is freed (IoFreeMdl, as the I/O manager does when
// a direct-I/O request completes), and which then reads poison
// (kPoolPoisonByte), as an unmapped address would fault. A freed MDL reads
// poison too.
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
