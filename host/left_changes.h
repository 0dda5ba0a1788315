// A start after a service that did not stop: what that service changed on
// its interfaces itself, as its record tells, is undone where it is still
// in place, and the record goes.
#pragma once

#include <string>

namespace host {

// Call before any adapter is offered, once no other service serves the
// socket the record belongs to. True when there was nothing to undo or it
// was undone, with the line to say in `said` (empty when there was no
// record); false, the record left for a person, with the reason in `error`.
bool UndoLeftChanges(const std::string &record, std::string *said, std::string *error);

}  // namespace host
