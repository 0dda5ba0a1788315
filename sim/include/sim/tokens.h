// Who a caller is: the tokens of the accounts that open handles in tests and
// the demo, and the access check the object manager runs against an
// object's security descriptor when one of them opens it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/se.h"

namespace sim {

enum class Account {
    LocalSystem,    // S-1-5-18, member of the administrators
    Administrator,  // a local administrator logged on interactively
    OrdinaryUser,   // Everyone, Users, Authenticated Users, Interactive
};

std::string AccountName(Account account);
// The SIDs of the account's token, user first, as text ("S-1-5-18").
const std::vector<std::string> &TokenSids(Account account);

// Access rights of file objects and their generic mapping.
constexpr ACCESS_MASK kFileReadData = 0x00000001;
constexpr ACCESS_MASK kFileWriteData = 0x00000002;
constexpr ACCESS_MASK kFileAppendData = 0x00000004;
constexpr ACCESS_MASK kFileGenericRead = 0x00120089;
constexpr ACCESS_MASK kFileGenericWrite = 0x00120116;
constexpr ACCESS_MASK kFileGenericExecute = 0x001200A0;
constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;
ACCESS_MASK MapFileGenericAccess(ACCESS_MASK access);

// STATUS_SUCCESS when the descriptor grants the account every right asked
// for (after the file generic mapping), STATUS_ACCESS_DENIED otherwise. No
// DACL, or a NULL DACL, grants everything; an empty DACL grants nothing.
NTSTATUS AccessCheck(const std::vector<uint8_t> &selfRelativeDescriptor, Account account,
                     ACCESS_MASK desiredAccess);

}  // namespace sim
