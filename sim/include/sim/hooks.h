// Interleaving hooks: named points inside platform calls where a test can
// stop the calling party and let another overtake it. The sim calls
// HookPoint at each point; a test installs what should happen there.
#pragma once

#include <functional>
#include <string>

namespace sim {

// Runs `action` on the thread that reaches `point`, at its next `times`
// arrivals (0 = every arrival until cleared).
void SetHook(const std::string &point, std::function<void()> action, unsigned times = 1);
void ClearHooks();

// Called by the sim at every named point; while a seeded schedule runs
// (sim/schedule.h), each point is also where the turn may change hands.
void HookPoint(const char *point);

}  // namespace sim
