// Reads and writes on a device that uses direct I/O, as the I/O manager
// builds them: the caller's buffer is probed and locked and described by the
// MDL in Irp->MdlAddress, not yet mapped into system space; a buffer given
// in several pieces is described by one MDL per piece, chained through Next.
// A transfer of zero bytes comes without any MDL. When the request completes
// the I/O manager unlocks and frees every MDL of the chain it then finds; a
// system address the driver mapped an MDL at goes with it (sim/mdl.h).
//
// The caller's memory stays with the test and can be read after completion.
// Mapping an MDL into system space can be made to fail through the failure
// point "MmMapLockedPagesSpecifyCache" (sim/faults.h).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/io.h"

namespace sim {

// Fills a read's buffer before the driver sees it, so that bytes the driver
// did not write can be told apart.
constexpr uint8_t kCallerFillByte = 0xCC;

// A read of `length` bytes (Parameters.Read.Length) into a fresh buffer.
Request BuildRead(const File &file, ULONG length);
// A write of `data` (Parameters.Write.Length is its size); the request's
// buffer is `data` itself.
Request BuildWrite(const File &file, std::vector<uint8_t> data);
// A write whose buffer comes in `pieces`, each described by its own MDL,
// chained in order; Parameters.Write.Length is the sum of their sizes.
Request BuildChainedWrite(const File &file, const std::vector<std::vector<uint8_t>> &pieces);

// What the caller's buffer of a request built here holds now, all pieces in order.
std::vector<uint8_t> CallerBytes(const Request &request);
// The caller's buffer itself, in its pieces (none for a request not built here).
using CallerPieces = std::vector<std::vector<uint8_t>>;
std::shared_ptr<const CallerPieces> CallerBuffer(const Request &request);
// The caller lets go of a request's buffer (Request::Release).
void ForgetCallerBuffer(PIRP irp);

// Forgets the callers' buffers (sim::ResetWorld).
void ResetDirectIo();

}  // namespace sim
