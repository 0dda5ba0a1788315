// Validation, capture and reading of security descriptors, shared by the
// security runtime, the object manager and the registry.
#include "sim/security.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "sim/pool.h"
#include "sim/verifier.h"

namespace sim::security {
namespace {

constexpr size_t kHeaderSize = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
constexpr size_t kUnbounded = std::numeric_limits<size_t>::max();

uint16_t ReadU16(const uint8_t *p)
{
    uint16_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

uint32_t ReadU32(const uint8_t *p)
{
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

void WriteU16(uint8_t *p, uint16_t value)
{
    std::memcpy(p, &value, sizeof value);
}

void WriteU32(uint8_t *p, uint32_t value)
{
    std::memcpy(p, &value, sizeof value);
}

size_t LongAlign(size_t n)
{
    return (n + 3) & ~size_t{3};
}

// One part of a descriptor being captured: where it is and how much may be read there.
struct Part {
    const uint8_t *address = nullptr;
    size_t room = 0;
};

enum class SidShape { Valid, Invalid, Short };

SidShape SidLength(Part part, size_t *length)
{
    if (part.room < 8) {
        return SidShape::Short;
    }
    if (part.address[0] != SID_REVISION || part.address[1] > SID_MAX_SUB_AUTHORITIES) {
        return SidShape::Invalid;
    }
    *length = 8 + 4 * size_t{part.address[1]};
    return part.room < *length ? SidShape::Short : SidShape::Valid;
}

struct Capturer {
    const char *caller;

    NTSTATUS Overrun(const char *what) const
    {
        Violation("pool.overrun", caller,
                  std::string("the descriptor's ") + what + " runs beyond the memory that holds it");
        return STATUS_INVALID_SECURITY_DESCR;
    }

    NTSTATUS CheckSid(Part part, size_t *length, const char *what) const
    {
        switch (SidLength(part, length)) {
        case SidShape::Valid:
            return STATUS_SUCCESS;
        case SidShape::Invalid:
            return STATUS_INVALID_SID;
        case SidShape::Short:
            break;
        }
        return Overrun(what);
    }

    NTSTATUS CheckAcl(Part part, size_t *length, const char *what) const
    {
        if (part.room < sizeof(ACL)) {
            return Overrun(what);
        }
        const uint8_t *acl = part.address;
        size_t size = ReadU16(acl + 2);
        if (acl[0] < MIN_ACL_REVISION || acl[0] > MAX_ACL_REVISION || size < sizeof(ACL)) {
            return STATUS_INVALID_ACL;
        }
        if (size > part.room) {
            return Overrun(what);
        }
        size_t offset = sizeof(ACL);
        for (unsigned i = 0; i < ReadU16(acl + 4); ++i) {
            if (offset + sizeof(ACE_HEADER) > size) {
                return STATUS_INVALID_ACL;
            }
            size_t aceSize = ReadU16(acl + offset + 2);
            if (aceSize < sizeof(ACE_HEADER) || offset + aceSize > size) {
                return STATUS_INVALID_ACL;
            }
            if (acl[offset] <= SYSTEM_ALARM_ACE_TYPE) {
                size_t sidLength = 0;
                size_t sidStart = offsetof(ACCESS_ALLOWED_ACE, SidStart);
                if (aceSize < sidStart ||
                    SidLength(Part{acl + offset + sidStart, aceSize - sidStart}, &sidLength) !=
                        SidShape::Valid) {
                    return STATUS_INVALID_ACL;
                }
            }
            offset += aceSize;
        }
        *length = size;
        return STATUS_SUCCESS;
    }
};

// The four parts of a descriptor in either form.
struct Parts {
    uint16_t control = 0;
    Part owner, group, sacl, dacl;
};

NTSTATUS Locate(const void *descriptor, size_t limit, const Capturer &capturer, Parts *parts)
{
    auto *base = static_cast<const uint8_t *>(descriptor);
    if (limit < kHeaderSize) {
        return capturer.Overrun("header");
    }
    if (base[0] != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    parts->control = ReadU16(base + 2);
    bool selfRelative = (parts->control & SE_SELF_RELATIVE) != 0;
    auto locate = [&](size_t field, const char *what, Part *part) -> NTSTATUS {
        if (selfRelative) {
            uint32_t offset = ReadU32(base + 4 + 4 * field);
            if (offset == 0) {
                return STATUS_SUCCESS;
            }
            if (offset < kHeaderSize) {
                return STATUS_INVALID_SECURITY_DESCR;
            }
            if (offset >= limit) {
                return capturer.Overrun(what);
            }
            *part = Part{base + offset, limit == kUnbounded ? kUnbounded : limit - offset};
            return STATUS_SUCCESS;
        }
        auto *absolute = static_cast<const SECURITY_DESCRIPTOR *>(descriptor);
        const void *pointers[] = {absolute->Owner, absolute->Group, absolute->Sacl, absolute->Dacl};
        if (pointers[field] != nullptr) {
            *part = Part{static_cast<const uint8_t *>(pointers[field]), ReadableBytes(pointers[field])};
        }
        return STATUS_SUCCESS;
    };
    if (!selfRelative && limit < sizeof(SECURITY_DESCRIPTOR)) {
        return capturer.Overrun("header");
    }
    NTSTATUS status = locate(0, "owner", &parts->owner);
    if (status == STATUS_SUCCESS) {
        status = locate(1, "group", &parts->group);
    }
    if (status == STATUS_SUCCESS && (parts->control & SE_SACL_PRESENT) != 0) {
        status = locate(2, "SACL", &parts->sacl);
    }
    if (status == STATUS_SUCCESS && (parts->control & SE_DACL_PRESENT) != 0) {
        status = locate(3, "DACL", &parts->dacl);
    }
    return status;
}

std::string AuthorityText(const uint8_t *authority)
{
    char text[32];
    if (authority[0] == 0 && authority[1] == 0) {
        uint32_t value = (uint32_t{authority[2]} << 24) | (uint32_t{authority[3]} << 16) |
                         (uint32_t{authority[4]} << 8) | authority[5];
        std::snprintf(text, sizeof text, "%u", value);
    } else {
        std::snprintf(text, sizeof text, "0x%02X%02X%02X%02X%02X%02X", authority[0], authority[1],
                      authority[2], authority[3], authority[4], authority[5]);
    }
    return text;
}

std::optional<Acl> ReadAcl(const uint8_t *acl)
{
    Acl result;
    result.revision = acl[0];
    size_t offset = sizeof(ACL);
    for (unsigned i = 0; i < ReadU16(acl + 4); ++i) {
        const uint8_t *ace = acl + offset;
        Ace entry;
        entry.type = ace[0];
        entry.flags = ace[1];
        if (entry.type <= SYSTEM_ALARM_ACE_TYPE) {
            entry.mask = ReadU32(ace + 4);
            entry.sid = SidText(ace + offsetof(ACCESS_ALLOWED_ACE, SidStart));
        }
        result.aces.push_back(entry);
        offset += ReadU16(ace + 2);
    }
    return result;
}

std::vector<uint8_t> BuildAcl(const Acl &acl)
{
    std::vector<uint8_t> bytes(sizeof(ACL), 0);
    bytes[0] = acl.revision;
    WriteU16(&bytes[4], static_cast<uint16_t>(acl.aces.size()));
    for (const Ace &ace : acl.aces) {
        std::vector<uint8_t> sid = SidBytes(ace.sid);
        size_t start = bytes.size();
        bytes.resize(start + offsetof(ACCESS_ALLOWED_ACE, SidStart) + sid.size(), 0);
        bytes[start] = ace.type;
        bytes[start + 1] = ace.flags;
        WriteU16(&bytes[start + 2], static_cast<uint16_t>(bytes.size() - start));
        WriteU32(&bytes[start + 4], ace.mask);
        std::memcpy(&bytes[start + offsetof(ACCESS_ALLOWED_ACE, SidStart)], sid.data(), sid.size());
    }
    WriteU16(&bytes[2], static_cast<uint16_t>(bytes.size()));
    return bytes;
}

// Lays out a self-relative descriptor from its parts, in the kernel's order.
std::vector<uint8_t> Assemble(uint16_t control, const std::vector<uint8_t> *owner,
                              const std::vector<uint8_t> *group, const std::vector<uint8_t> *sacl,
                              const std::vector<uint8_t> *dacl)
{
    std::vector<uint8_t> out(kHeaderSize, 0);
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    WriteU16(&out[2], static_cast<uint16_t>(control | SE_SELF_RELATIVE));
    auto append = [&out](const std::vector<uint8_t> *part, size_t field) {
        if (part == nullptr) {
            return;
        }
        WriteU32(&out[4 + 4 * field], static_cast<uint32_t>(out.size()));
        out.insert(out.end(), part->begin(), part->end());
        out.resize(LongAlign(out.size()), 0);
    };
    append(sacl, 2);
    append(dacl, 3);
    append(owner, 0);
    append(group, 1);
    return out;
}

}  // namespace

std::string SidText(const void *sid)
{
    auto *bytes = static_cast<const uint8_t *>(sid);
    // Appended piece by piece: g++ 12 at -O3 misreads a literal prepended to
    // a temporary string as an overlapping copy (-Wrestrict).
    std::string text = "S-";
    text += std::to_string(bytes[0]);
    text += '-';
    text += AuthorityText(bytes + 2);
    for (unsigned i = 0; i < bytes[1]; ++i) {
        text += '-';
        text += std::to_string(ReadU32(bytes + 8 + 4 * i));
    }
    return text;
}

std::vector<uint8_t> SidBytes(const std::string &text)
{
    std::vector<uint64_t> numbers;
    size_t position = 2;  // after "S-"
    while (position <= text.size()) {
        size_t end = text.find('-', position);
        if (end == std::string::npos) {
            end = text.size();
        }
        numbers.push_back(std::stoull(text.substr(position, end - position)));
        position = end + 1;
    }
    std::vector<uint8_t> bytes(8 + 4 * (numbers.size() - 2), 0);
    bytes[0] = static_cast<uint8_t>(numbers[0]);
    bytes[1] = static_cast<uint8_t>(numbers.size() - 2);
    for (int i = 0; i < 6; ++i) {
        bytes[2 + i] = static_cast<uint8_t>(numbers[1] >> (8 * (5 - i)));
    }
    for (size_t i = 2; i < numbers.size(); ++i) {
        WriteU32(&bytes[8 + 4 * (i - 2)], static_cast<uint32_t>(numbers[i]));
    }
    return bytes;
}

size_t ReadableBytes(const void *descriptor)
{
    return PoolBytesFrom(descriptor).value_or(kUnbounded);
}

NTSTATUS Capture(const void *descriptor, size_t limit, const char *caller, std::vector<uint8_t> *selfRelative)
{
    Capturer capturer{caller};
    Parts parts;
    NTSTATUS status = Locate(descriptor, limit, capturer, &parts);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    std::vector<uint8_t> owner, group, sacl, dacl;
    auto take = [&](Part part, bool isAcl, const char *what, std::vector<uint8_t> *bytes) -> NTSTATUS {
        if (part.address == nullptr) {
            return STATUS_SUCCESS;
        }
        size_t length = 0;
        NTSTATUS checked = isAcl ? capturer.CheckAcl(part, &length, what)
                                 : capturer.CheckSid(part, &length, what);
        if (checked == STATUS_SUCCESS) {
            bytes->assign(part.address, part.address + length);
        }
        return checked;
    };
    if ((status = take(parts.owner, false, "owner", &owner)) != STATUS_SUCCESS ||
        (status = take(parts.group, false, "group", &group)) != STATUS_SUCCESS ||
        (status = take(parts.sacl, true, "SACL", &sacl)) != STATUS_SUCCESS ||
        (status = take(parts.dacl, true, "DACL", &dacl)) != STATUS_SUCCESS) {
        return status;
    }
    *selfRelative = Assemble(parts.control, parts.owner.address ? &owner : nullptr,
                             parts.group.address ? &group : nullptr, parts.sacl.address ? &sacl : nullptr,
                             parts.dacl.address ? &dacl : nullptr);
    return STATUS_SUCCESS;
}

std::optional<Descriptor> Parse(const std::vector<uint8_t> &selfRelative)
{
    std::vector<uint8_t> bytes;
    if (selfRelative.size() < kHeaderSize || (ReadU16(&selfRelative[2]) & SE_SELF_RELATIVE) == 0 ||
        Capture(selfRelative.data(), selfRelative.size(), "sim::security::Parse", &bytes) != STATUS_SUCCESS) {
        return std::nullopt;
    }
    Descriptor descriptor;
    descriptor.control = ReadU16(&bytes[2]);
    auto at = [&bytes](size_t field) -> const uint8_t * {
        uint32_t offset = ReadU32(&bytes[4 + 4 * field]);
        return offset == 0 ? nullptr : &bytes[offset];
    };
    if (at(0) != nullptr) {
        descriptor.owner = SidText(at(0));
    }
    if (at(1) != nullptr) {
        descriptor.group = SidText(at(1));
    }
    if (at(2) != nullptr) {
        descriptor.sacl = ReadAcl(at(2));
    }
    if (at(3) != nullptr) {
        descriptor.dacl = ReadAcl(at(3));
    }
    return descriptor;
}

std::vector<uint8_t> Build(const Descriptor &descriptor)
{
    std::vector<uint8_t> owner, group, sacl, dacl;
    uint16_t control = descriptor.control;
    if (descriptor.owner) {
        owner = SidBytes(*descriptor.owner);
    }
    if (descriptor.group) {
        group = SidBytes(*descriptor.group);
    }
    if (descriptor.sacl) {
        sacl = BuildAcl(*descriptor.sacl);
        control |= SE_SACL_PRESENT;
    }
    if (descriptor.dacl) {
        dacl = BuildAcl(*descriptor.dacl);
        control |= SE_DACL_PRESENT;
    }
    return Assemble(control, descriptor.owner ? &owner : nullptr, descriptor.group ? &group : nullptr,
                    descriptor.sacl ? &sacl : nullptr, descriptor.dacl ? &dacl : nullptr);
}

namespace {

// The parts of a valid self-relative descriptor, as bytes.
struct RawParts {
    uint16_t control = 0;
    std::optional<std::vector<uint8_t>> part[4];  // owner, group, SACL, DACL
};

RawParts Split(const std::vector<uint8_t> &bytes)
{
    RawParts parts;
    if (bytes.size() < kHeaderSize) {
        return parts;
    }
    parts.control = ReadU16(&bytes[2]);
    for (size_t field = 0; field < 4; ++field) {
        uint32_t offset = ReadU32(&bytes[4 + 4 * field]);
        if (offset == 0) {
            continue;
        }
        size_t length = field < 2 ? 8 + 4 * size_t{bytes[offset + 1]} : ReadU16(&bytes[offset + 2]);
        parts.part[field].emplace(bytes.begin() + offset, bytes.begin() + offset + length);
    }
    return parts;
}

}  // namespace

NTSTATUS Merge(const std::vector<uint8_t> &current, const std::vector<uint8_t> &update, uint32_t information,
               std::vector<uint8_t> *merged)
{
    RawParts result = Split(current);
    RawParts given = Split(update);
    if ((information & OWNER_SECURITY_INFORMATION) && !given.part[0]) {
        return STATUS_INVALID_OWNER;
    }
    if ((information & GROUP_SECURITY_INFORMATION) && !given.part[1]) {
        return STATUS_INVALID_PRIMARY_GROUP;
    }
    // Each part travels with the control bits that describe it.
    const struct {
        uint32_t information;
        uint16_t bits;
    } kinds[4] = {
        {OWNER_SECURITY_INFORMATION, SE_OWNER_DEFAULTED},
        {GROUP_SECURITY_INFORMATION, SE_GROUP_DEFAULTED},
        {SACL_SECURITY_INFORMATION, SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED},
        {DACL_SECURITY_INFORMATION, SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED},
    };
    for (size_t field = 0; field < 4; ++field) {
        if (information & kinds[field].information) {
            result.part[field] = given.part[field];
            result.control = static_cast<uint16_t>((result.control & ~kinds[field].bits) |
                                                   (given.control & kinds[field].bits));
        }
    }
    auto pointer = [&result](size_t field) { return result.part[field] ? &*result.part[field] : nullptr; };
    *merged = Assemble(result.control, pointer(0), pointer(1), pointer(2), pointer(3));
    return STATUS_SUCCESS;
}

}  // namespace sim::security
