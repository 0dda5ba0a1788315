// What the service changed on interfaces itself (their flags and multicast
// lists, which outlive it), kept in a file beside its socket from just
// before each change until the service undoes it, so that a start after a
// service that was killed can undo what that one left.
//
// The file is text, one change a line after a comment:
//     promiscuous INDEX NAME
//     all-multicast INDEX NAME
//     multicast INDEX NAME 01:80:c2:00:00:03
// rewritten whole on every change (a temporary file beside it, written,
// synced and renamed over it; mode 0600) and removed once it holds none.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/ndis.h"

namespace host {

enum class ChangeKind { Promiscuous, AllMulticast, Multicast };

struct InterfaceChange {
    ChangeKind kind = ChangeKind::Promiscuous;
    int index = 0;
    std::string name;
    sim::MacAddress address{};  // of a Multicast change only

    bool operator==(const InterfaceChange &) const = default;
};

// "promiscuous on eth0", "multicast 01:80:c2:00:00:03 on eth0".
std::string Describe(const InterfaceChange &change);

// The record of the service whose socket is at `socket`: beside it, so that
// services on different sockets in one directory keep their own.
std::string ChangeRecordPath(const std::string &socket);

class ChangeRecord {
public:
    explicit ChangeRecord(std::string path) : path_(std::move(path)) {}
    ChangeRecord(const ChangeRecord &) = delete;
    ChangeRecord &operator=(const ChangeRecord &) = delete;

    // Records a change about to be made; false, with the reason in `error`,
    // when the file cannot be written, and then the change is not to be made.
    bool Add(const InterfaceChange &change, std::string *error);
    // Forgets a change that was undone, or whose interface is gone; the file
    // goes with the last one. False, with the reason in `error`, when the
    // file could not be brought up to date (it then names a change no longer
    // in place, which a later start finds so and leaves).
    bool Remove(const InterfaceChange &change, std::string *error);

private:
    bool Save(std::string *error);

    std::mutex lock_;  // any thread may change an interface
    const std::string path_;
    std::vector<InterfaceChange> changes_;
};

// A record as found at a start.
struct FoundRecord {
    bool present = false;
    std::optional<std::vector<InterfaceChange>> changes;  // nothing when it cannot be trusted or parsed
    std::string error;  // why not
};
// Reads the record at `path`. It is trusted only as a regular file of this
// user's that no one else may write, and parsed strictly.
FoundRecord ReadChangeRecord(const std::string &path);

// The changes a record's text holds, or nothing with the line at fault in `error`.
std::optional<std::vector<InterfaceChange>> ParseChanges(const std::string &text, std::string *error);
std::string FormatChanges(const std::vector<InterfaceChange> &changes);

}  // namespace host
