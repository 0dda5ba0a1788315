// The alias tables and the lookups of trustees, rights and numbers.
#include "devsecurity/sddl.h"
#include "platform/io_version.h"
#include "platform/ntstatus.h"
#include "platform/wcs.h"

#define SDDL_SID(alias, field, needsWdm120) { WIDE(alias), 2, FIELD_OFFSET(SE_EXPORTS, field), needsWdm120 }

const SddlSidAlias SddlSidAliases[SDDL_SID_ALIAS_COUNT] = {
    SDDL_SID("WD", SeWorldSid, FALSE),
    SDDL_SID("BA", SeAliasAdminsSid, FALSE),
    SDDL_SID("SY", SeLocalSystemSid, FALSE),
    SDDL_SID("IU", SeInteractiveSid, FALSE),
    SDDL_SID("RC", SeRestrictedSid, FALSE),
    SDDL_SID("AU", SeAuthenticatedUsersSid, FALSE),
    SDDL_SID("NU", SeNetworkSid, FALSE),
    SDDL_SID("AN", SeAnonymousLogonSid, FALSE),
    SDDL_SID("BG", SeAliasGuestsSid, FALSE),
    SDDL_SID("BU", SeAliasUsersSid, FALSE),
    SDDL_SID("LS", SeLocalServiceSid, TRUE),
    SDDL_SID("NS", SeNetworkServiceSid, TRUE),
};

const SddlAccessAlias SddlAccessAliases[SDDL_ACCESS_ALIAS_COUNT] = {
    {WIDE("RC"), 2, READ_CONTROL},
    {WIDE("WD"), 2, WRITE_DAC},
    {WIDE("WO"), 2, WRITE_OWNER},
    {WIDE("SD"), 2, DELETE},
    {WIDE("GA"), 2, GENERIC_ALL},
    {WIDE("GR"), 2, GENERIC_READ},
    {WIDE("GW"), 2, GENERIC_WRITE},
    {WIDE("GX"), 2, GENERIC_EXECUTE},
};

NTSTATUS SddlLookupSid(PCWSTR Position, PSID *Sid, PCWSTR *End)
{
    *Sid = NULL;
    for (ULONG i = 0; i < SDDL_SID_ALIAS_COUNT; ++i) {
        const SddlSidAlias *row = &SddlSidAliases[i];
        if (_wcsnicmp(Position, row->Alias, row->AliasLength) != 0) {
            continue;
        }
        *End = Position + row->AliasLength;
        if (!row->NeedsWdm120 || IoIsWdmVersionAvailable(1, 0x20)) {
            *Sid = *(PSID *)((PUCHAR)SeExports + row->SidField);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_NONE_MAPPED;
}

BOOLEAN SddlLookupAccessRight(PCWSTR Position, PACCESS_MASK Mask, PCWSTR *End)
{
    for (ULONG i = 0; i < SDDL_ACCESS_ALIAS_COUNT; ++i) {
        const SddlAccessAlias *row = &SddlAccessAliases[i];
        if (_wcsnicmp(Position, row->Alias, row->AliasLength) == 0) {
            *Mask = row->Access;
            *End = Position + row->AliasLength;
            return TRUE;
        }
    }
    *Mask = 0;
    *End = Position;
    return FALSE;
}

// The digit's value in the base, or -1 when the character is not one of its digits.
static LONG SddlDigitValue(WCHAR c, ULONG base)
{
    if (c >= WIDE('0') && c <= WIDE('9')) {
        return c - WIDE('0');
    }
    if (base == 16 && c >= WIDE('A') && c <= WIDE('F')) {
        return c - WIDE('A') + 10;
    }
    if (base == 16 && c >= WIDE('a') && c <= WIDE('f')) {
        return c - WIDE('a') + 10;
    }
    return -1;
}

BOOLEAN SddlParseNumber(PCWSTR Position, PCWSTR *End, PULONG Value)
{
    *Value = 0;
    *End = Position;
    // "0x" makes it hexadecimal, a decimal digit decimal (a leading 0 is not
    // octal), and anything else hexadecimal without a prefix.
    PCWSTR digit = Position;
    ULONG base = 16;
    if (Position[0] == WIDE('0') && (Position[1] == WIDE('x') || Position[1] == WIDE('X'))) {
        digit = Position + 2;
    } else if (Position[0] >= WIDE('0') && Position[0] <= WIDE('9')) {
        base = 10;
    }
    ULONG value = 0;
    PCWSTR start = digit;
    for (LONG d = SddlDigitValue(*digit, base); d >= 0; d = SddlDigitValue(*++digit, base)) {
        if (value > (0xFFFFFFFFUL - (ULONG)d) / base) {
            return FALSE;
        }
        value = value * base + (ULONG)d;
    }
    if (digit == start) {
        return FALSE;
    }
    *End = digit;
    *Value = value;
    return TRUE;
}
