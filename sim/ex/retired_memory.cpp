// Memory that is gone: poisoned at once, its release held back.
#include <cstring>
#include <deque>
#include <mutex>

#include "sim/pool.h"

namespace sim {
namespace {

// How many retirements a piece of memory outlives before it is released.
constexpr size_t kRetiredKept = 256;

struct Retired {
    void *memory;
    void (*release)(void *);
};

// What is still held back when the process ends is released with the list,
// so that a leak checker at exit finds no memory without an owner.
struct RetiredList : std::deque<Retired> {
    ~RetiredList()
    {
        for (const Retired &piece : *this) {
            piece.release(piece.memory);
        }
    }
};

std::mutex g_lock;
RetiredList g_retired;

}  // namespace

void Poison(void *memory, size_t size)
{
    std::memset(memory, kPoolPoisonByte, size);
    // The stores must stay although the memory is released next.
    __asm__ __volatile__("" : : "r"(memory) : "memory");
}

void Retire(void *memory, size_t size, void (*release)(void *))
{
    Poison(memory, size);
    Retired oldest{nullptr, nullptr};
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_retired.push_back({memory, release});
        if (g_retired.size() <= kRetiredKept) {
            return;
        }
        oldest = g_retired.front();
        g_retired.pop_front();
    }
    oldest.release(oldest.memory);
}

void ReleaseRetired()
{
    std::deque<Retired> retired;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        retired.swap(static_cast<std::deque<Retired> &>(g_retired));
    }
    for (const Retired &piece : retired) {
        piece.release(piece.memory);
    }
}

}  // namespace sim
