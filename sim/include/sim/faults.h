// Fault injection. Every platform call that Windows lets fail asks
// ShouldFail with the name of its failure point first; pool allocations
// also give their tag. Tests choose which calls fail.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// Failure points: "pool" (every ExAllocatePoolWithTag and
// NdisAllocateMemoryWithTag), and one per platform call that can fail, named
// after it ("NdisAllocatePacketPoolEx", "NdisAllocatePacket", ...).
bool ShouldFail(const char *point, uint32_t tag = 0);

namespace faults {

void Reset();
// The nth call (1 = the next one) of one point fails.
void FailNth(const std::string &point, uint64_t n);
// Every call of one point fails until Reset.
void FailAll(const std::string &point);
// Every pool allocation with this tag fails until Reset.
void FailTag(uint32_t tag);
// A seeded share (0..1) of all calls at every point fails.
void FailShare(double share, uint32_t seed);
// The nth failable call of any point (1 = the next one) fails: the fault sweep's knob.
void FailGlobalNth(uint64_t n);
// Calls that asked since the last Reset, at one point or at all of them.
uint64_t Count(const std::string &point);
uint64_t TotalCount();
// How many calls were made to fail since the last Reset.
uint64_t Injected();

}  // namespace faults
}  // namespace sim
