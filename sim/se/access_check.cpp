// Tokens and the access check, as SeAccessCheck walks a DACL: ACEs in order,
// a deny of any right still wanted ends the walk, allows add up until every
// right asked for is granted.
#include <algorithm>

#include "sim/security.h"
#include "sim/tokens.h"

namespace sim {
namespace {

const char kEveryone[] = "S-1-1-0";
const char kLocalSystem[] = "S-1-5-18";
const char kAdministrators[] = "S-1-5-32-544";
const char kUsers[] = "S-1-5-32-545";
const char kAuthenticatedUsers[] = "S-1-5-11";
const char kInteractive[] = "S-1-5-4";

bool Holds(const std::vector<std::string> &sids, const std::string &sid)
{
    return std::find(sids.begin(), sids.end(), sid) != sids.end();
}

}  // namespace

std::string AccountName(Account account)
{
    switch (account) {
    case Account::LocalSystem:
        return "the local system account";
    case Account::Administrator:
        return "an administrator";
    case Account::OrdinaryUser:
        return "an ordinary user";
    }
    return "?";
}

const std::vector<std::string> &TokenSids(Account account)
{
    static const std::vector<std::string> system = {kLocalSystem, kAdministrators, kEveryone,
                                                    kAuthenticatedUsers};
    static const std::vector<std::string> administrator = {
        "S-1-5-21-1004336348-1177238915-682003330-500", kAdministrators, kEveryone, kUsers,
        kAuthenticatedUsers, kInteractive};
    static const std::vector<std::string> user = {
        "S-1-5-21-1004336348-1177238915-682003330-1001", kEveryone, kUsers, kAuthenticatedUsers,
        kInteractive};
    switch (account) {
    case Account::LocalSystem:
        return system;
    case Account::Administrator:
        return administrator;
    case Account::OrdinaryUser:
        return user;
    }
    return user;
}

ACCESS_MASK MapFileGenericAccess(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) {
        mapped |= kFileGenericRead;
    }
    if (access & GENERIC_WRITE) {
        mapped |= kFileGenericWrite;
    }
    if (access & GENERIC_EXECUTE) {
        mapped |= kFileGenericExecute;
    }
    if (access & GENERIC_ALL) {
        mapped |= kFileAllAccess;
    }
    return mapped;
}

NTSTATUS AccessCheck(const std::vector<uint8_t> &selfRelativeDescriptor, Account account,
                     ACCESS_MASK desiredAccess)
{
    std::optional<security::Descriptor> descriptor = security::Parse(selfRelativeDescriptor);
    if (!descriptor) {
        return STATUS_ACCESS_DENIED;
    }
    if (!(descriptor->control & SE_DACL_PRESENT) || !descriptor->dacl) {
        return STATUS_SUCCESS;
    }
    const std::vector<std::string> &sids = TokenSids(account);
    ACCESS_MASK wanted = MapFileGenericAccess(desiredAccess);
    for (const security::Ace &ace : descriptor->dacl->aces) {
        // An inherit-only ACE is for children, not for the object itself.
        if (wanted == 0 || (ace.flags & 0x08) != 0 || !Holds(sids, ace.sid)) {
            continue;
        }
        ACCESS_MASK rights = MapFileGenericAccess(ace.mask);
        if (ace.type == ACCESS_DENIED_ACE_TYPE && (rights & wanted) != 0) {
            return STATUS_ACCESS_DENIED;
        }
        if (ace.type == ACCESS_ALLOWED_ACE_TYPE) {
            wanted &= ~rights;
        }
    }
    return wanted == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

}  // namespace sim
