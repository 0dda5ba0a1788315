#include "host/change_record.h"

#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace host {
namespace {

// A record names a handful of changes; anything far larger is not one.
constexpr off_t kLargestRecord = 64 * 1024;

constexpr const char kHeader[] =
    "# rezezura-host: what it changed on these interfaces itself; a start after it was killed undoes it\n";

const char *KindWord(ChangeKind kind)
{
    switch (kind) {
    case ChangeKind::Promiscuous: return "promiscuous";
    case ChangeKind::AllMulticast: return "all-multicast";
    case ChangeKind::Multicast: return "multicast";
    }
    return "";
}

std::string MacText(const sim::MacAddress &address)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", address[0], address[1], address[2], address[3],
                  address[4], address[5]);
    return text;
}

std::vector<std::string> Words(const std::string &line)
{
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        size_t end = line.find(' ', at);
        if (end == std::string::npos) {
            end = line.size();
        }
        if (end > at) {
            words.push_back(line.substr(at, end - at));
        }
        at = end + 1;
    }
    return words;
}

std::optional<int> ParseIndex(const std::string &word)
{
    if (word.empty() || word.size() > 10 || word[0] == '0' ||
        !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    long long value = std::stoll(word);
    if (value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// As the kernel takes a name: up to 15 bytes, none of them '/', ':' or white space.
bool IsInterfaceName(const std::string &word)
{
    return !word.empty() && word.size() < IFNAMSIZ && word != "." && word != ".." &&
           std::none_of(word.begin(), word.end(), [](char c) {
               return c == '/' || c == ':' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
                      c == '\f' || c == '\0';
           });
}

std::optional<sim::MacAddress> ParseMac(const std::string &word)
{
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    sim::MacAddress address{};
    if (word.size() != 17) {
        return std::nullopt;
    }
    for (size_t i = 0; i < address.size(); ++i) {
        int high = hex(word[3 * i]);
        int low = hex(word[3 * i + 1]);
        if (high < 0 || low < 0 || (i + 1 < address.size() && word[3 * i + 2] != ':')) {
            return std::nullopt;
        }
        address[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return address;
}

std::optional<InterfaceChange> ParseChange(const std::string &line)
{
    std::vector<std::string> words = Words(line);
    if (words.size() < 3) {
        return std::nullopt;
    }
    InterfaceChange change;
    if (words[0] == KindWord(ChangeKind::Promiscuous)) {
        change.kind = ChangeKind::Promiscuous;
    } else if (words[0] == KindWord(ChangeKind::AllMulticast)) {
        change.kind = ChangeKind::AllMulticast;
    } else if (words[0] == KindWord(ChangeKind::Multicast)) {
        change.kind = ChangeKind::Multicast;
    } else {
        return std::nullopt;
    }
    std::optional<int> index = ParseIndex(words[1]);
    if (!index || !IsInterfaceName(words[2])) {
        return std::nullopt;
    }
    change.index = *index;
    change.name = words[2];
    if (change.kind != ChangeKind::Multicast) {
        return words.size() == 3 ? std::optional<InterfaceChange>(change) : std::nullopt;
    }
    std::optional<sim::MacAddress> address = words.size() == 4 ? ParseMac(words[3]) : std::nullopt;
    if (!address) {
        return std::nullopt;
    }
    change.address = *address;
    return change;
}

bool WriteAll(int file, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(file, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// The rename into place outlives a crash of the machine too.
void SyncDirectoryOf(const std::string &path)
{
    std::string directory = path.substr(0, path.find_last_of('/') + 1);
    int held = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (held >= 0) {
        fsync(held);
        close(held);
    }
}

}  // namespace

std::string Describe(const InterfaceChange &change)
{
    std::string what = KindWord(change.kind);
    if (change.kind == ChangeKind::Multicast) {
        what += " " + MacText(change.address);
    }
    return what + " on " + change.name;
}

std::string ChangeRecordPath(const std::string &socket)
{
    return socket + ".changes";
}

std::string FormatChanges(const std::vector<InterfaceChange> &changes)
{
    std::string text = kHeader;
    for (const InterfaceChange &change : changes) {
        text += std::string(KindWord(change.kind)) + " " + std::to_string(change.index) + " " + change.name;
        if (change.kind == ChangeKind::Multicast) {
            text += " " + MacText(change.address);
        }
        text += "\n";
    }
    return text;
}

std::optional<std::vector<InterfaceChange>> ParseChanges(const std::string &text, std::string *error)
{
    std::vector<InterfaceChange> changes;
    size_t at = 0;
    for (int number = 1; at < text.size(); ++number) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            *error = "line " + std::to_string(number) + " is cut short";
            return std::nullopt;
        }
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::optional<InterfaceChange> change = ParseChange(line);
        if (!change) {
            *error = "line " + std::to_string(number) + " is no change this service makes";
            return std::nullopt;
        }
        changes.push_back(*change);
    }
    return changes;
}

bool ChangeRecord::Add(const InterfaceChange &change, std::string *error)
{
    std::lock_guard<std::mutex> guard(lock_);
    changes_.push_back(change);
    if (Save(error)) {
        return true;
    }
    changes_.pop_back();
    return false;
}

bool ChangeRecord::Remove(const InterfaceChange &change, std::string *error)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto found = std::find(changes_.begin(), changes_.end(), change);
    if (found == changes_.end()) {
        return true;
    }
    changes_.erase(found);
    if (!changes_.empty()) {
        return Save(error);
    }
    if (unlink(path_.c_str()) != 0 && errno != ENOENT) {
        *error = "cannot remove the record " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ChangeRecord::Save(std::string *error)
{
    // Written beside it and renamed over it, so that the record is always
    // either the last whole one or the new whole one.
    const std::string temporary = path_ + ".new";
    if (unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        *error = "cannot replace " + temporary + ": " + std::strerror(errno);
        return false;
    }
    int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file < 0) {
        *error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    bool written = WriteAll(file, FormatChanges(changes_)) && fsync(file) == 0;
    int cause = errno;
    close(file);
    if (written && rename(temporary.c_str(), path_.c_str()) == 0) {
        SyncDirectoryOf(path_);
        return true;
    }
    cause = written ? errno : cause;
    unlink(temporary.c_str());
    *error = "cannot write the record " + path_ + ": " + std::strerror(cause);
    return false;
}

FoundRecord ReadChangeRecord(const std::string &path)
{
    FoundRecord found;
    // Not through a symbolic link, and without waiting on a FIFO put there.
    int file = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0 && errno == ENOENT) {
        return found;
    }
    found.present = true;
    if (file < 0) {
        found.error = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        return found;
    }
    struct stat held {};
    std::string text;
    if (fstat(file, &held) != 0) {
        found.error = std::strerror(errno);
    } else if (!S_ISREG(held.st_mode)) {
        found.error = "it is not a regular file";
    } else if (held.st_uid != geteuid() || (held.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        found.error = "it is not this user's alone";
    } else if (held.st_size > kLargestRecord) {
        found.error = "it is too large to be one";
    } else {
        text.resize(static_cast<size_t>(held.st_size));
        ssize_t got = read(file, text.data(), text.size());
        if (got != static_cast<ssize_t>(text.size())) {
            found.error = got < 0 ? std::strerror(errno) : "it changed while it was read";
        }
    }
    close(file);
    if (found.error.empty()) {
        found.changes = ParseChanges(text, &found.error);
    }
    return found;
}

}  // namespace host
