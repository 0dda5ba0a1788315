// What the platform did for the driver, counted as it happens: allocations of
// pool memory and of NDIS descriptors, and the bytes that moved into the
// driver's blocks and its callers' buffers. The counters only observe; the
// benchmarks read them to put a figure on each frame and each write.
#pragma once

#include <cstdint>

namespace sim {

struct PlatformCounters {
    // Blocks ExAllocatePoolWithTag and NdisAllocateMemoryWithTag gave out, and their bytes.
    uint64_t poolAllocations = 0;
    uint64_t poolBytes = 0;
    // Descriptors NdisAllocatePacket and NdisAllocateBuffer gave out.
    uint64_t packetDescriptors = 0;
    uint64_t bufferDescriptors = 0;
    // Bytes NDIS copied into a protocol's packets: NdisCopyFromPacketToPacketSafe
    // and the adapter's data transfers.
    uint64_t ndisBytesCopied = 0;
    // Bytes of sent packets whose buffers lie in pool blocks: frames the
    // protocol copied into its own memory rather than sending the writer's pages.
    uint64_t sendBytesFromPool = 0;
    // Information of every completed read that came with an MDL: the bytes
    // the driver wrote into its callers' locked buffers.
    uint64_t readBytesCompleted = 0;
};

PlatformCounters CountersNow();
// Zeroes every counter (sim::ResetWorld does it too).
void ResetCounters();

// Where the platform counts.
void CountPoolAllocation(uint64_t bytes);
void CountPacketDescriptor();
void CountBufferDescriptor();
void CountNdisCopy(uint64_t bytes);
void CountReadCompleted(uint64_t bytes);
void CountSendFromPool(uint64_t bytes);

}  // namespace sim
