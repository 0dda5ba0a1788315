#include "sim/verifier.h"

#include <cstdio>
#include <mutex>

namespace sim {
namespace {

std::mutex g_lock;
std::vector<std::string> g_violations;

}  // namespace

void Violation(const char *rule, const char *caller, const std::string &detail)
{
    std::string text = std::string(rule) + ": " + caller + ": " + detail;
    std::fprintf(stderr, "verifier: %s\n", text.c_str());
    std::lock_guard<std::mutex> guard(g_lock);
    g_violations.push_back(std::move(text));
}

std::vector<std::string> TakeViolations()
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::string> taken;
    taken.swap(g_violations);
    return taken;
}

}  // namespace sim
