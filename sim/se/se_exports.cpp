// The kernel's SeExports record with its well-known SIDs, and the version of
// Windows the sim plays.
#include <array>
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/io_version.h"
#include "platform/se.h"
#include "sim/pool.h"
#include "sim/security.h"
#include "sim/verifier.h"
#include "sim/windows_version.h"

namespace sim {
namespace {

struct WellKnownSid {
    PSID SE_EXPORTS::*field;
    const char *text;
};

const WellKnownSid kWellKnownSids[] = {
    {&SE_EXPORTS::SeNullSid, "S-1-0-0"},
    {&SE_EXPORTS::SeWorldSid, "S-1-1-0"},
    {&SE_EXPORTS::SeLocalSid, "S-1-2-0"},
    {&SE_EXPORTS::SeCreatorOwnerSid, "S-1-3-0"},
    {&SE_EXPORTS::SeCreatorGroupSid, "S-1-3-1"},
    {&SE_EXPORTS::SeNtAuthoritySid, "S-1-5"},
    {&SE_EXPORTS::SeDialupSid, "S-1-5-1"},
    {&SE_EXPORTS::SeNetworkSid, "S-1-5-2"},
    {&SE_EXPORTS::SeBatchSid, "S-1-5-3"},
    {&SE_EXPORTS::SeInteractiveSid, "S-1-5-4"},
    {&SE_EXPORTS::SeLocalSystemSid, "S-1-5-18"},
    {&SE_EXPORTS::SeAliasAdminsSid, "S-1-5-32-544"},
    {&SE_EXPORTS::SeAliasUsersSid, "S-1-5-32-545"},
    {&SE_EXPORTS::SeAliasGuestsSid, "S-1-5-32-546"},
    {&SE_EXPORTS::SeAliasPowerUsersSid, "S-1-5-32-547"},
    {&SE_EXPORTS::SeAliasAccountOpsSid, "S-1-5-32-548"},
    {&SE_EXPORTS::SeAliasSystemOpsSid, "S-1-5-32-549"},
    {&SE_EXPORTS::SeAliasPrintOpsSid, "S-1-5-32-550"},
    {&SE_EXPORTS::SeAliasBackupOpsSid, "S-1-5-32-551"},
    {&SE_EXPORTS::SeAuthenticatedUsersSid, "S-1-5-11"},
    {&SE_EXPORTS::SeRestrictedSid, "S-1-5-12"},
    {&SE_EXPORTS::SeAnonymousLogonSid, "S-1-5-7"},
    {&SE_EXPORTS::SeLocalServiceSid, "S-1-5-19"},
    {&SE_EXPORTS::SeNetworkServiceSid, "S-1-5-20"},
};

// What a driver reads from a field beyond Windows 2000's record: memory
// that is not a SID. Large enough for any sub-authority count it claims.
std::array<uint8_t, 8 + 4 * 255> g_beyondRecord = [] {
    std::array<uint8_t, 8 + 4 * 255> bytes;
    bytes.fill(kPoolPoisonByte);
    return bytes;
}();

struct Exports {
    SE_EXPORTS record{};
    std::vector<std::vector<uint8_t>> sids;

    Exports()
    {
        for (const WellKnownSid &known : kWellKnownSids) {
            sids.push_back(security::SidBytes(known.text));
            record.*known.field = sids.back().data();
        }
    }
};

Exports &TheExports()
{
    static Exports exports;
    return exports;
}

std::atomic<unsigned> g_wdmVersion{0x0120};
std::atomic<bool> g_secureCreateExported{false};

}  // namespace

void SetWdmVersion(uint8_t major, uint8_t minor)
{
    g_wdmVersion = (unsigned{major} << 8) | minor;
    Exports &exports = TheExports();
    bool hasXpFields = g_wdmVersion >= 0x0120;
    size_t first = std::size(kWellKnownSids) - 2;
    for (size_t i = first; i < std::size(kWellKnownSids); ++i) {
        exports.record.*kWellKnownSids[i].field =
            hasXpFields ? exports.sids[i].data() : static_cast<PSID>(g_beyondRecord.data());
    }
}

void ExportIoCreateDeviceSecure(bool exported)
{
    g_secureCreateExported = exported;
}

bool IoCreateDeviceSecureExported()
{
    return g_secureCreateExported;
}

void ResetWindowsVersion()
{
    SetWdmVersion(1, 0x20);
    ExportIoCreateDeviceSecure(false);
}

void CheckExportedSid(const void *sid, const char *caller)
{
    if (sid == g_beyondRecord.data()) {
        Violation("se.exports-beyond-record", caller,
                  "the SID comes from a field of SeExports that this version of Windows does not have");
    }
}

}  // namespace sim

extern "C" {

PSE_EXPORTS SeExports = &sim::TheExports().record;

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    return ((unsigned{MajorVersion} << 8) | MinorVersion) <= sim::g_wdmVersion;
}

}  // extern "C"
