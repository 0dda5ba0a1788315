// libFuzzer target: any string, counted any way, with any one failable
// platform call failing, converts to a valid descriptor of the supported
// shape or fails with NULL, and leaves nothing allocated.
//
// Input: byte 0 holds options (bit 0: ask for the defaulted mark; bit 1: no
// room for a terminator; bit 2: room for more than the terminator, filled
// with text; bit 3: a system without WDM 1.20), byte 1 the number of the
// failable call to fail (0: none), the rest the string in UTF-16LE.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "devsecurity/sddl.h"
#include "platform/ex.h"
#include "platform/ntstatus.h"
#include "sim/faults.h"
#include "sim/pool.h"
#include "sim/security.h"
#include "sim/verifier.h"
#include "sim/windows_version.h"
#include "sim/world.h"

namespace {

constexpr uint8_t kMark = 0x1;
constexpr uint8_t kNoTerminator = 0x2;
constexpr uint8_t kExtraRoom = 0x4;
constexpr uint8_t kNoWdm120 = 0x8;

[[noreturn]] void Fail(const char *what, NTSTATUS status)
{
    std::fprintf(stderr, "sddl fuzz: %s (status 0x%08X)\n", what, static_cast<unsigned>(status));
    std::abort();
}

bool IsExpectedFailure(NTSTATUS status)
{
    return status == STATUS_INVALID_PARAMETER || status == STATUS_NONE_MAPPED || status == STATUS_INVALID_ACL ||
           status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_ALLOTTED_SPACE_EXCEEDED;
}

// The descriptor is exactly its pool block and has the only shape the
// conversion makes: a DACL of access-allowed ACEs without flags, nothing else.
void CheckDescriptor(PSECURITY_DESCRIPTOR descriptor, bool mark, NTSTATUS status)
{
    std::optional<size_t> size = sim::PoolBytesFrom(descriptor);
    if (!size || RtlLengthSecurityDescriptor(descriptor) != *size) {
        Fail("the descriptor is not exactly its pool block", status);
    }
    auto *bytes = static_cast<const uint8_t *>(descriptor);
    auto parsed = sim::security::Parse(std::vector<uint8_t>(bytes, bytes + *size));
    if (!parsed || !parsed->dacl || parsed->owner || parsed->group || parsed->sacl) {
        Fail("the descriptor is not a valid DACL-only descriptor", status);
    }
    uint16_t required = SE_SELF_RELATIVE | SE_DACL_PRESENT | (mark ? SE_DACL_DEFAULTED : 0);
    if ((parsed->control & ~SE_DACL_PROTECTED) != required || parsed->dacl->revision != ACL_REVISION) {
        Fail("unexpected control or ACL revision", status);
    }
    for (const sim::security::Ace &ace : parsed->dacl->aces) {
        if (ace.type != ACCESS_ALLOWED_ACE_TYPE || ace.flags != 0) {
            Fail("an ACE that is not a plain access-allowed ACE", status);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    sim::ResetWorld();
    uint8_t options = data[0];
    if (options & kNoWdm120) {
        sim::SetWdmVersion(1, 0x10);
    }
    if (data[1] != 0) {
        sim::faults::FailGlobalNth(data[1]);
    }
    size_t characters = std::min<size_t>((size - 2) / 2, 0x7FFE);
    // The text, then the room the options ask for, filled with more text.
    std::vector<WCHAR> buffer(characters + 4, WIDE('('));
    std::memcpy(buffer.data(), data + 2, characters * 2);
    auto length = static_cast<USHORT>(characters * 2);
    USHORT maximum = static_cast<USHORT>(length + 2);
    if (options & kNoTerminator) {
        maximum = length;
    } else if (options & kExtraRoom) {
        maximum = static_cast<USHORT>(length + 8);
    } else {
        buffer[characters] = 0;
    }
    UNICODE_STRING sddl{length, maximum, buffer.data()};

    bool mark = (options & kMark) != 0;
    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1);
    NTSTATUS status = SddlToSecurityDescriptor(&sddl, mark, &descriptor);
    if (NT_SUCCESS(status)) {
        if (status != STATUS_SUCCESS || descriptor == nullptr) {
            Fail("success without a descriptor", status);
        }
        CheckDescriptor(descriptor, mark, status);
        ExFreePoolWithTag(descriptor, 0);
    } else if (descriptor != nullptr || !IsExpectedFailure(status)) {
        Fail("a failure with a descriptor or an unexpected status", status);
    }
    for (const std::string &problem : sim::TakeViolations()) {
        std::fprintf(stderr, "verifier: %s\n", problem.c_str());
        Fail("the verifier objected", status);
    }
    for (const std::string &leak : sim::Leaks()) {
        std::fprintf(stderr, "leak: %s\n", leak.c_str());
        Fail("something was left allocated", status);
    }
    return 0;
}
