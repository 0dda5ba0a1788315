#include "host/left_changes.h"

#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "host/change_record.h"
#include "host/interface_mode.h"
#include "host/links.h"

namespace host {
namespace {

enum class Outcome { Undone, NotInPlace, Failed };

// Undoes one change, only on the interface it was made on (its index with
// its name) and only while the change is still there.
Outcome Undo(const InterfaceChange &change, std::string *cause)
{
    if (InterfaceName(change.index) != change.name) {
        return Outcome::NotInPlace;
    }
    bool undone = false;
    if (change.kind == ChangeKind::Multicast) {
        if (!InterfaceHoldsMulticast(change.index, change.address)) {
            return Outcome::NotInPlace;
        }
        undone = ChangeInterfaceMulticast(change.index, change.address, false);
    } else {
        unsigned flag = change.kind == ChangeKind::Promiscuous ? IFF_PROMISC : IFF_ALLMULTI;
        std::optional<unsigned> flags = InterfaceFlags(change.name);
        if (flags && (*flags & flag) == 0) {
            return Outcome::NotInPlace;
        }
        undone = flags && ChangeLinkFlags(change.index, 0, flag);
    }
    if (!undone) {
        *cause = std::strerror(errno);
        return Outcome::Failed;
    }
    return Outcome::Undone;
}

std::string Listed(const std::vector<std::string> &items)
{
    std::string text;
    for (const std::string &item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

}  // namespace

bool UndoLeftChanges(const std::string &record, std::string *said, std::string *error)
{
    said->clear();
    FoundRecord found = ReadChangeRecord(record);
    if (!found.present) {
        return true;
    }
    if (!found.changes) {
        *error = "cannot use the record " + record + " of what a service that did not stop changed on its interfaces (" +
                 found.error + "); undo what it names by hand and remove it";
        return false;
    }
    std::vector<std::string> undone;
    std::vector<std::string> gone;
    std::vector<std::string> failed;
    for (const InterfaceChange &change : *found.changes) {
        std::string cause;
        switch (Undo(change, &cause)) {
        case Outcome::Undone: undone.push_back(Describe(change)); break;
        case Outcome::NotInPlace: gone.push_back(Describe(change)); break;
        case Outcome::Failed: failed.push_back(Describe(change) + " (" + cause + ")"); break;
        }
    }
    if (unlink(record.c_str()) != 0 && errno != ENOENT) {
        *error = "cannot remove the record " + record + ": " + std::strerror(errno);
        return false;
    }
    *said = "a service that did not stop left changes on its interfaces; undid " +
            (undone.empty() ? std::string("none") : Listed(undone));
    if (!gone.empty()) {
        *said += "; no longer in place: " + Listed(gone);
    }
    if (!failed.empty()) {
        *said += "; could not undo " + Listed(failed);
    }
    return true;
}

}  // namespace host
