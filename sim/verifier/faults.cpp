#include "sim/faults.h"

#include <map>
#include <mutex>
#include <random>
#include <set>

namespace sim {
namespace {

struct FaultState {
    std::mutex lock;
    std::map<std::string, uint64_t> counts;
    std::map<std::string, uint64_t> failNth;  // point -> absolute call number to fail
    std::set<std::string> failAll;
    std::set<uint32_t> failTags;
    double share = 0;
    std::mt19937 random;
    uint64_t total = 0;
    uint64_t failGlobalAt = 0;
    uint64_t injected = 0;
};

FaultState &State()
{
    static FaultState state;
    return state;
}

}  // namespace

bool ShouldFail(const char *point, uint32_t tag)
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    uint64_t n = ++s.counts[point];
    ++s.total;
    bool fail = false;
    auto nth = s.failNth.find(point);
    if (nth != s.failNth.end() && nth->second == n) {
        fail = true;
    }
    if (s.failAll.count(point) != 0 || (tag != 0 && s.failTags.count(tag) != 0)) {
        fail = true;
    }
    if (s.failGlobalAt != 0 && s.total == s.failGlobalAt) {
        fail = true;
    }
    if (s.share > 0 && std::uniform_real_distribution<double>(0, 1)(s.random) < s.share) {
        fail = true;
    }
    if (fail) {
        ++s.injected;
    }
    return fail;
}

namespace faults {

void Reset()
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.counts.clear();
    s.failNth.clear();
    s.failAll.clear();
    s.failTags.clear();
    s.share = 0;
    s.total = 0;
    s.failGlobalAt = 0;
    s.injected = 0;
}

void FailNth(const std::string &point, uint64_t n)
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failNth[point] = s.counts[point] + n;
}

void FailAll(const std::string &point)
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failAll.insert(point);
}

void FailTag(uint32_t tag)
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failTags.insert(tag);
}

void FailShare(double share, uint32_t seed)
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.share = share;
    s.random.seed(seed);
}

void FailGlobalNth(uint64_t n)
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failGlobalAt = s.total + n;
}

uint64_t Count(const std::string &point)
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.counts.find(point);
    return it == s.counts.end() ? 0 : it->second;
}

uint64_t TotalCount()
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.total;
}

uint64_t Injected()
{
    FaultState &s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.injected;
}

}  // namespace faults
}  // namespace sim
