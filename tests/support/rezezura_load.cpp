#include "tests/support/rezezura_load.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/driver.h"
#include "sim/image.h"
#include "tests/support/secure_creation.h"

namespace rztest {

bool RunsImage()
{
    const char *path = std::getenv("REZEZURA_IMAGE");
    return path != nullptr && *path != '\0';
}

NTSTATUS LoadRezezura(sim::Driver *driver)
{
    if (!RunsImage()) {
        // Each load is a fresh driver: nothing resolved by an earlier load.
        StartSecureCreationLoad();
        return sim::Driver::Load(DriverEntry, u"rezezura", driver);
    }
    std::string path = std::getenv("REZEZURA_IMAGE");
    sim::MappedImage mapped = sim::MapDriverImage(path);
    if (!NT_SUCCESS(mapped.status)) {
        ADD_FAILURE() << "the image was refused: " << mapped.message;
        return mapped.status;
    }
    return sim::Driver::Load(mapped.entry, u"rezezura", driver, mapped.image);
}

}  // namespace rztest
