// Driver images: rezezura.sys itself, mapped as the kernel's loader maps a
// 32-bit x86 driver and run over the sim in the x86 build.
//
// MapDriverImage reads a PE32 i386 image of the native subsystem, maps its
// headers and each section at its RVA with the section's protection (code
// read and execute, read-only data read-only, data read-write, uninitialised
// data zeroed), away from its preferred base on purpose, applies its base
// relocations and resolves each import by module and name against the sim's
// exports of ntoskrnl.exe, HAL.dll and NDIS.SYS, routines and data alike.
// It refuses, with the status Windows gives and a message naming the cause:
//   a file that cannot be read                   STATUS_OBJECT_NAME_NOT_FOUND
//   no executable image                          STATUS_INVALID_IMAGE_NOT_MZ
//   another machine, format or subsystem, thread-local storage, a broken
//   layout or relocation                         STATUS_INVALID_IMAGE_FORMAT
//   an import from another module                STATUS_DLL_NOT_FOUND
//   an import the sim does not export            STATUS_DRIVER_ENTRYPOINT_NOT_FOUND
//   an import by ordinal                         STATUS_DRIVER_ORDINAL_NOT_FOUND
//   any image in a build that is not 32-bit x86  STATUS_NOT_SUPPORTED
//
// Calls across the image's boundary, into its routines and out to its
// imports, return with the stack pointer where their convention puts it, or
// the verifier records image.stack-imbalance naming the routine.
#pragma once

#include <memory>
#include <string>

#include "platform/io.h"
#include "sim/driver.h"

#ifndef STATUS_INVALID_IMAGE_FORMAT
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#endif
#ifndef STATUS_DLL_NOT_FOUND
#define STATUS_DLL_NOT_FOUND ((NTSTATUS)0xC0000135L)
#endif
#ifndef STATUS_INVALID_IMAGE_NOT_MZ
#define STATUS_INVALID_IMAGE_NOT_MZ ((NTSTATUS)0xC000012FL)
#endif
#ifndef STATUS_DRIVER_ORDINAL_NOT_FOUND
#define STATUS_DRIVER_ORDINAL_NOT_FOUND ((NTSTATUS)0xC0000262L)
#endif
#ifndef STATUS_DRIVER_ENTRYPOINT_NOT_FOUND
#define STATUS_DRIVER_ENTRYPOINT_NOT_FOUND ((NTSTATUS)0xC0000263L)
#endif

namespace sim {

class DriverImage;

struct MappedImage {
    NTSTATUS status = STATUS_UNSUCCESSFUL;  // STATUS_SUCCESS, or why the image was refused
    std::string message;                    // on a refusal, one line naming the cause
    std::shared_ptr<DriverImage> image;     // the mapping; unmapped when the last owner lets go
    PDRIVER_INITIALIZE entry = nullptr;     // the image's DriverEntry
};

MappedImage MapDriverImage(const std::string &path);

// Once DriverEntry has returned: the discardable sections are unmapped.
void DiscardSections(DriverImage &image);

// Maps the image and loads it as a driver: Driver::Load with its entry point,
// the driver keeping the mapping. The mapping's status when it was refused,
// otherwise DriverEntry's; *message says what failed.
NTSTATUS LoadDriverImage(const std::string &path, const std::u16string &serviceName, Driver *driver,
                         std::string *message);

}  // namespace sim
