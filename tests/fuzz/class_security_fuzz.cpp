// libFuzzer target: whatever bytes a class's "Security" value holds, reading
// the class settings either captures a valid descriptor or fails, reads
// nothing beyond the value, and leaves nothing allocated or open.
//
// Input: byte 0 the value's registry type (REG_BINARY when even), the rest
// the value's data.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "devsecurity/class_settings.h"
#include "devsecurity/registry.h"
#include "platform/ex.h"
#include "platform/zw.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "sim/security.h"
#include "sim/verifier.h"
#include "sim/world.h"

namespace {

const char kProperties[] = "\\Registry\\Machine\\Software\\Fuzz\\Properties";

[[noreturn]] void Fail(const char *what, NTSTATUS status)
{
    std::fprintf(stderr, "class security fuzz: %s (status 0x%08X)\n", what, static_cast<unsigned>(status));
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    sim::ResetWorld();
    uint32_t type = data[0] % 2 == 0 ? REG_BINARY : data[0] / 2;
    sim::registry::SetValue(kProperties, u"Security", type, std::vector<uint8_t>(data + 1, data + size));

    HANDLE key = nullptr;
    NTSTATUS status = RegistryOpenKeySz(nullptr, WIDE("\\Registry\\Machine\\Software\\Fuzz\\Properties"), KEY_READ,
                                        &key);
    if (status != STATUS_SUCCESS) {
        Fail("the key did not open", status);
    }
    ClassCreationSettings settings;
    status = ReadClassSettingsFromKey(key, &settings);
    ZwClose(key);
    if (NT_SUCCESS(status) && (settings.SettingsFlags & CLASS_SETTING_SECURITY)) {
        std::optional<size_t> length = sim::PoolBytesFrom(settings.SecurityDescriptor);
        auto *bytes = static_cast<const uint8_t *>(settings.SecurityDescriptor);
        if (!length || !sim::security::Parse(std::vector<uint8_t>(bytes, bytes + *length))) {
            Fail("the settings hold a descriptor that is not valid", status);
        }
    } else if (!NT_SUCCESS(status) && settings.SettingsFlags != 0) {
        Fail("a failure left settings behind", status);
    }
    FreeClassCreationSettings(&settings);
    for (const std::string &problem : sim::TakeViolations()) {
        std::fprintf(stderr, "verifier: %s\n", problem.c_str());
        Fail("the verifier objected", status);
    }
    for (const std::string &leak : sim::Leaks()) {
        std::fprintf(stderr, "leak: %s\n", leak.c_str());
        Fail("something was left allocated or open", status);
    }
    return 0;
}
