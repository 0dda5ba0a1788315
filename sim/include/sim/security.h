// Security descriptors as the sim's security runtime, object manager and
// registry keep them: validated, captured into the self-relative form, and
// read back by tests in plain terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ntstatus.h"
#include "platform/se.h"

namespace sim::security {

struct Ace {
    uint8_t type = ACCESS_ALLOWED_ACE_TYPE;
    uint8_t flags = 0;
    uint32_t mask = 0;
    std::string sid;  // "S-1-5-18"
    bool operator==(const Ace &) const = default;
};

struct Acl {
    uint8_t revision = ACL_REVISION;
    std::vector<Ace> aces;
    bool operator==(const Acl &) const = default;
};

// One descriptor in plain terms. An ACL that is present but NULL (the
// control bit set, no ACL) is a present bit with no value here.
struct Descriptor {
    uint16_t control = 0;
    std::optional<std::string> owner;
    std::optional<std::string> group;
    std::optional<Acl> sacl;
    std::optional<Acl> dacl;
};

// SIDs as text and as bytes.
std::string SidText(const void *sid);
std::vector<uint8_t> SidBytes(const std::string &text);

// Validates a descriptor in either form as the kernel does when it captures
// one and writes its self-relative copy (parts in the order SACL, DACL,
// owner, group). `limit` is how many bytes the caller's memory holds from
// the descriptor's start when that is known; a part beyond it is reported as
// a read beyond the memory (rule "pool.overrun", naming `caller`).
NTSTATUS Capture(const void *descriptor, size_t limit, const char *caller,
                 std::vector<uint8_t> *selfRelative);

// The bytes a descriptor's memory can be read to: the rest of its pool block,
// or unbounded when it is not pool memory.
size_t ReadableBytes(const void *descriptor);

// Reads a self-relative descriptor; none when it is not valid.
std::optional<Descriptor> Parse(const std::vector<uint8_t> &selfRelative);

// What an object keeps after ZwSetSecurityObject: the parts `information`
// names (OWNER_, GROUP_, SACL_, DACL_SECURITY_INFORMATION) taken from
// `update` with the control bits that describe them, the others as in
// `current` (empty: the object had none). Both are valid and self-relative.
// STATUS_INVALID_OWNER or STATUS_INVALID_PRIMARY_GROUP when `update` lacks
// the owner or group asked for.
NTSTATUS Merge(const std::vector<uint8_t> &current, const std::vector<uint8_t> &update, uint32_t information,
               std::vector<uint8_t> *merged);

// A descriptor from the platform's SDDL grammar (sections O:, G:, D:, S:;
// ACL flags P, AI, AR; ACE types A, D, AU, AL with their flags; rights as
// aliases or 0x numbers; trustees as aliases or S-1-... strings); none when
// the text is not SDDL.
std::optional<std::vector<uint8_t>> FromSddl(const std::string &sddl);

// Writes a self-relative descriptor. ACLs get revision 2 and exact sizes;
// the control gains SE_SELF_RELATIVE, and SE_DACL_PRESENT or SE_SACL_PRESENT
// for each ACL given.
std::vector<uint8_t> Build(const Descriptor &descriptor);

}  // namespace sim::security
