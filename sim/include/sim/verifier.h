// The verifier: the sim checks the driver's manners on every platform call and
// records each broken rule with the rule's name, the call that caught it and
// what was wrong. Tests read the record; nothing here stops the process.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Records one broken rule, e.g. Violation("pool.double-free", "ExFreePoolWithTag", "...").
void Violation(const char *rule, const char *caller, const std::string &detail);

// Every violation since the last call, as "rule: caller: detail", oldest first.
std::vector<std::string> TakeViolations();

}  // namespace sim
