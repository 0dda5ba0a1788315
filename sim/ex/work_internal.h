// The world's part of the work items.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Drops items not yet started and waits, bounded, for a running one.
void ResetWorkItems();
void AppendWorkItemLeaks(std::vector<std::string> &leaks);

// The I/O work items' own records: allocated and not yet freed.
void ResetIoWorkItems();
void AppendIoWorkItemLeaks(std::vector<std::string> &leaks);

}  // namespace sim
