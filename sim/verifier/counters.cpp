// The platform's counters: relaxed atomics, so that counting from any
// thread costs the counted call next to nothing and orders nothing.
#include "sim/counters.h"

#include <atomic>

namespace sim {
namespace {

std::atomic<uint64_t> g_poolAllocations;
std::atomic<uint64_t> g_poolBytes;
std::atomic<uint64_t> g_packetDescriptors;
std::atomic<uint64_t> g_bufferDescriptors;
std::atomic<uint64_t> g_ndisBytesCopied;
std::atomic<uint64_t> g_sendBytesFromPool;
std::atomic<uint64_t> g_readBytesCompleted;

void Add(std::atomic<uint64_t> &counter, uint64_t amount)
{
    counter.fetch_add(amount, std::memory_order_relaxed);
}

uint64_t Read(const std::atomic<uint64_t> &counter)
{
    return counter.load(std::memory_order_relaxed);
}

}  // namespace

PlatformCounters CountersNow()
{
    PlatformCounters now;
    now.poolAllocations = Read(g_poolAllocations);
    now.poolBytes = Read(g_poolBytes);
    now.packetDescriptors = Read(g_packetDescriptors);
    now.bufferDescriptors = Read(g_bufferDescriptors);
    now.ndisBytesCopied = Read(g_ndisBytesCopied);
    now.sendBytesFromPool = Read(g_sendBytesFromPool);
    now.readBytesCompleted = Read(g_readBytesCompleted);
    return now;
}

void ResetCounters()
{
    for (std::atomic<uint64_t> *counter : {&g_poolAllocations, &g_poolBytes, &g_packetDescriptors,
                                           &g_bufferDescriptors, &g_ndisBytesCopied, &g_sendBytesFromPool,
                                           &g_readBytesCompleted}) {
        counter->store(0, std::memory_order_relaxed);
    }
}

void CountPoolAllocation(uint64_t bytes)
{
    Add(g_poolAllocations, 1);
    Add(g_poolBytes, bytes);
}

void CountPacketDescriptor()
{
    Add(g_packetDescriptors, 1);
}

void CountBufferDescriptor()
{
    Add(g_bufferDescriptors, 1);
}

void CountNdisCopy(uint64_t bytes)
{
    Add(g_ndisBytesCopied, bytes);
}

void CountReadCompleted(uint64_t bytes)
{
    Add(g_readBytesCompleted, bytes);
}

void CountSendFromPool(uint64_t bytes)
{
    Add(g_sendBytesFromPool, bytes);
}

}  // namespace sim
