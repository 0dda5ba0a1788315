// The platform's SDDL grammar, as far as device and key security uses it:
// owner ("O:"), group ("G:"), DACL ("D:") and SACL ("S:") sections; ACL
// flags P, AI and AR; ACEs of types A, D, AU and AL with their inheritance
// and audit flags; rights as aliases or numbers; trustees as aliases or
// S-1-... strings. Tests and the kernel's IoCreateDeviceSecure build
// descriptors with it.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

#include "sim/security.h"

namespace sim::security {
namespace {

const std::map<std::string, std::string> kTrustees = {
    {"WD", "S-1-1-0"},      {"CO", "S-1-3-0"},      {"CG", "S-1-3-1"},      {"NU", "S-1-5-2"},
    {"IU", "S-1-5-4"},      {"AN", "S-1-5-7"},      {"AU", "S-1-5-11"},     {"RC", "S-1-5-12"},
    {"SY", "S-1-5-18"},     {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},     {"BA", "S-1-5-32-544"},
    {"BU", "S-1-5-32-545"}, {"BG", "S-1-5-32-546"}, {"PU", "S-1-5-32-547"},
};

const std::map<std::string, uint32_t> kRights = {
    {"GA", GENERIC_ALL}, {"GR", GENERIC_READ},   {"GW", GENERIC_WRITE}, {"GX", GENERIC_EXECUTE},
    {"RC", READ_CONTROL}, {"SD", DELETE},        {"WD", WRITE_DAC},     {"WO", WRITE_OWNER},
    {"FA", 0x001F01FF},  {"FR", 0x00120089},     {"FW", 0x00120116},    {"FX", 0x001200A0},
};

const std::map<std::string, uint8_t> kAceFlags = {
    {"OI", OBJECT_INHERIT_ACE}, {"CI", CONTAINER_INHERIT_ACE}, {"NP", 0x04}, {"IO", 0x08},
    {"ID", 0x10},               {"SA", 0x40},                  {"FA", 0x80},
};

const std::map<std::string, uint8_t> kAceTypes = {
    {"A", ACCESS_ALLOWED_ACE_TYPE}, {"D", ACCESS_DENIED_ACE_TYPE},
    {"AU", SYSTEM_AUDIT_ACE_TYPE},  {"AL", SYSTEM_ALARM_ACE_TYPE},
};

std::string Upper(std::string text)
{
    for (char &c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::optional<std::string> Trustee(const std::string &text)
{
    if (text.rfind("S-1-", 0) == 0) {
        return text;
    }
    auto it = kTrustees.find(Upper(text));
    return it == kTrustees.end() ? std::nullopt : std::optional<std::string>(it->second);
}

std::optional<uint32_t> Rights(const std::string &text)
{
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
        char *end = nullptr;
        unsigned long value = std::strtoul(text.c_str() + 2, &end, 16);
        return *end == 0 && text.size() > 2 ? std::optional<uint32_t>(static_cast<uint32_t>(value)) : std::nullopt;
    }
    uint32_t mask = 0;
    for (size_t i = 0; i < text.size(); i += 2) {
        auto it = kRights.find(Upper(text.substr(i, 2)));
        if (it == kRights.end()) {
            return std::nullopt;
        }
        mask |= it->second;
    }
    return mask;
}

std::optional<Ace> ParseAce(const std::string &text)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t end; (end = text.find(';', start)) != std::string::npos; start = end + 1) {
        fields.push_back(text.substr(start, end - start));
    }
    fields.push_back(text.substr(start));
    if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty()) {
        return std::nullopt;
    }
    auto type = kAceTypes.find(Upper(fields[0]));
    auto mask = Rights(fields[2]);
    auto sid = Trustee(fields[5]);
    if (type == kAceTypes.end() || !mask || !sid) {
        return std::nullopt;
    }
    Ace ace{type->second, 0, *mask, *sid};
    for (size_t i = 0; i < fields[1].size(); i += 2) {
        auto flag = kAceFlags.find(Upper(fields[1].substr(i, 2)));
        if (flag == kAceFlags.end()) {
            return std::nullopt;
        }
        ace.flags |= flag->second;
    }
    return ace;
}

// An ACL section after its "D:" or "S:": flags, then "(ace)" repeated.
std::optional<Acl> ParseAcl(const std::string &text, bool dacl, uint16_t *control)
{
    size_t position = 0;
    for (;;) {
        if (text.compare(position, 1, "P") == 0) {
            *control |= dacl ? SE_DACL_PROTECTED : SE_SACL_PROTECTED;
            position += 1;
        } else if (text.compare(position, 2, "AI") == 0) {
            *control |= dacl ? SE_DACL_AUTO_INHERITED : SE_SACL_AUTO_INHERITED;
            position += 2;
        } else if (text.compare(position, 2, "AR") == 0) {
            position += 2;
        } else {
            break;
        }
    }
    Acl acl;
    while (position < text.size()) {
        size_t close = text.find(')', position);
        if (text[position] != '(' || close == std::string::npos) {
            return std::nullopt;
        }
        auto ace = ParseAce(text.substr(position + 1, close - position - 1));
        if (!ace) {
            return std::nullopt;
        }
        acl.aces.push_back(*ace);
        position = close + 1;
    }
    return acl;
}

}  // namespace

std::optional<std::vector<uint8_t>> FromSddl(const std::string &sddl)
{
    Descriptor descriptor;
    size_t position = 0;
    while (position < sddl.size()) {
        if (position + 1 >= sddl.size() || sddl[position + 1] != ':') {
            return std::nullopt;
        }
        char section = sddl[position];
        // A section runs to the next "X:" that is not inside an ACE.
        size_t end = position + 2;
        for (int depth = 0; end < sddl.size(); ++end) {
            depth += sddl[end] == '(' ? 1 : sddl[end] == ')' ? -1 : 0;
            if (depth == 0 && end + 1 < sddl.size() && sddl[end + 1] == ':' && std::strchr("OGDS", sddl[end])) {
                break;
            }
        }
        std::string body = sddl.substr(position + 2, end - position - 2);
        if (section == 'O' || section == 'G') {
            auto sid = Trustee(body);
            if (!sid) {
                return std::nullopt;
            }
            (section == 'O' ? descriptor.owner : descriptor.group) = *sid;
        } else if (section == 'D' || section == 'S') {
            auto acl = ParseAcl(body, section == 'D', &descriptor.control);
            if (!acl) {
                return std::nullopt;
            }
            (section == 'D' ? descriptor.dacl : descriptor.sacl) = *acl;
        } else {
            return std::nullopt;
        }
        position = end;
    }
    return Build(descriptor);
}

}  // namespace sim::security
