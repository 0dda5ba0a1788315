#include "sim/hooks.h"

#include <atomic>
#include <map>
#include <mutex>

#include "sim/schedule.h"

namespace sim {
namespace {

struct Hook {
    std::function<void()> action;
    unsigned remaining;  // 0: unlimited
};

std::mutex g_lock;
std::map<std::string, Hook> g_hooks;
std::atomic<bool> g_any{false};

}  // namespace

void SetHook(const std::string &point, std::function<void()> action, unsigned times)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_hooks[point] = Hook{std::move(action), times};
    g_any = true;
}

void ClearHooks()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_hooks.clear();
    g_any = false;
}

void HookPoint(const char *point)
{
    schedule::Point(point);
    if (!g_any) {
        return;
    }
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        auto it = g_hooks.find(point);
        if (it == g_hooks.end()) {
            return;
        }
        action = it->second.action;
        if (it->second.remaining != 0 && --it->second.remaining == 0) {
            g_hooks.erase(it);
        }
    }
    // Runs outside the table's lock so that the action may reach other points.
    action();
}

}  // namespace sim
