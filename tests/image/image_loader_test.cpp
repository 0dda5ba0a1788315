// The sim's loader on driver images built by the windows-x86 preset: the
// real rezezura.sys, copies of it with one fault planted in their bytes, and
// images built faulty on purpose.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/driver.h"
#include "sim/image.h"
#include "sim/ndis.h"
#include "sim/image/exports.h"
#include "tests/support/sim_test.h"

namespace {

const std::string kWindowsBuild = REZEZURA_WINDOWS_BUILD;
const std::string kRezezura = kWindowsBuild + "/windows/rezezura.sys";
const std::string kFaults = kWindowsBuild + "/windows/image_faults/";

std::vector<uint8_t> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << "cannot read " << path << ": build the windows-x86 preset first";
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// rezezura.sys's bytes, and where a loader finds its parts in them.
class ImageBytes {
public:
    ImageBytes() : bytes(ReadFile(kRezezura)) {}

    uint32_t U32(size_t at) const
    {
        uint32_t value = 0;
        std::memcpy(&value, &bytes.at(at + 3) - 3, 4);
        return value;
    }
    void Put32(size_t at, uint32_t value) { std::memcpy(&bytes.at(at + 3) - 3, &value, 4); }
    void Put16(size_t at, uint16_t value) { std::memcpy(&bytes.at(at + 1) - 1, &value, 2); }

    size_t FileHeader() const { return U32(0x3C) + 4; }
    size_t OptionalHeader() const { return FileHeader() + 20; }
    size_t Directory(int index) const { return OptionalHeader() + 96 + index * 8; }
    // The file offset of an RVA, through the section that holds it.
    size_t FileOffset(uint32_t rva) const
    {
        uint16_t sections = static_cast<uint16_t>(U32(FileHeader() + 2));
        size_t table = OptionalHeader() + (U32(FileHeader() + 16) & 0xFFFF);
        for (uint16_t index = 0; index < sections; ++index) {
            size_t section = table + index * 40;
            uint32_t address = U32(section + 12);
            if (rva >= address && rva < address + U32(section + 16)) {
                return rva - address + U32(section + 20);
            }
        }
        ADD_FAILURE() << "no section holds RVA " << rva;
        return 0;
    }
    // The import descriptor of `module` (as the image names it).
    size_t ImportOf(const std::string &module) const
    {
        for (size_t at = FileOffset(U32(Directory(1))); U32(at + 12) != 0; at += 20) {
            if (module == reinterpret_cast<const char *>(&bytes.at(FileOffset(U32(at + 12))))) {
                return at;
            }
        }
        ADD_FAILURE() << "no import from " << module;
        return 0;
    }

    // The bytes written to a file of the test's own; its path.
    std::string Write(const std::string &name) const
    {
        std::string path = testing::TempDir() + name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    std::vector<uint8_t> bytes;
};

class ImageLoader : public rztest::SimTest {};

// The protection of the page at `address` as /proc/self/maps shows it ("r-xp").
std::string Protection(uintptr_t address)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long begin = 0, end = 0;
        char permissions[8] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %7s", &begin, &end, permissions) == 3 && address >= begin &&
            address < end) {
            return permissions;
        }
    }
    return "unmapped";
}

void ExpectRefusal(const std::string &path, NTSTATUS status, const std::string &cause)
{
    sim::MappedImage mapped = sim::MapDriverImage(path);
    EXPECT_EQ(mapped.status, status) << mapped.message;
    EXPECT_NE(mapped.message.find(cause), std::string::npos) << mapped.message;
    EXPECT_EQ(mapped.image, nullptr);
    EXPECT_EQ(mapped.entry, nullptr);
}

TEST_F(ImageLoader, MapsRezezuraAwayFromItsBaseWithEveryImportResolved)
{
    ImageBytes image;
    uint32_t preferredBase = image.U32(image.OptionalHeader() + 28);
    uint32_t entryRva = image.U32(image.OptionalHeader() + 16);
    sim::MappedImage mapped = sim::MapDriverImage(kRezezura);
    ASSERT_EQ(mapped.status, STATUS_SUCCESS) << mapped.message;
    uintptr_t base = reinterpret_cast<uintptr_t>(mapped.entry) - entryRva;
    EXPECT_NE(base, preferredBase);
    EXPECT_EQ(base % 4096, 0u);
}

TEST_F(ImageLoader, EachSectionHasItsProtectionAndTheDiscardableOnesGoAfterDriverEntry)
{
    ImageBytes image;
    sim::MappedImage mapped = sim::MapDriverImage(kRezezura);
    ASSERT_EQ(mapped.status, STATUS_SUCCESS) << mapped.message;
    uintptr_t base = reinterpret_cast<uintptr_t>(mapped.entry) - image.U32(image.OptionalHeader() + 16);
    std::vector<std::pair<uintptr_t, std::string>> discardable;
    size_t table = image.OptionalHeader() + (image.U32(image.FileHeader() + 16) & 0xFFFF);
    for (uint16_t index = 0; index < (image.U32(image.FileHeader() + 2) & 0xFFFF); ++index) {
        size_t section = table + index * 40;
        const char *header = reinterpret_cast<const char *>(&image.bytes[section]);
        std::string name(header, strnlen(header, 8));
        uint32_t flags = image.U32(section + 36);
        uintptr_t address = base + image.U32(section + 12);
        bool code = (flags & 0x20000000) != 0;
        bool writable = (flags & 0x80000000) != 0;
        EXPECT_EQ(Protection(address), code ? "r-xp" : writable ? "rw-p" : "r--p") << name;
        if ((flags & 0x02000000) != 0) {
            discardable.emplace_back(address, name);
        }
    }
    ASSERT_FALSE(discardable.empty()) << "rezezura.sys has its base relocations in a discardable section";
    sim::Driver driver;
    ASSERT_EQ(sim::Driver::Load(mapped.entry, u"rezezura", &driver, mapped.image), STATUS_SUCCESS);
    for (const auto &[address, name] : discardable) {
        EXPECT_EQ(Protection(address), "---p") << name;
    }
    EXPECT_TRUE(driver.Stop());
}

// The windows-x86 build lists every routine platform/ declares; an image may
// import any of them.
TEST_F(ImageLoader, TheSimExportsEveryRoutineThePlatformDeclares)
{
    std::ifstream list(kWindowsBuild + "/windows/layout/platform_functions.inc");
    ASSERT_TRUE(list) << "build the windows-x86 preset first";
    std::string line;
    int routines = 0;
    while (std::getline(list, line)) {
        size_t open = line.find("LAYOUT_IMPORT(");
        if (open == std::string::npos) {
            continue;
        }
        std::string name = line.substr(open + 14, line.find(')') - open - 14);
        ++routines;
        bool exported = false;
        for (const char *module : {"ntoskrnl.exe", "HAL.dll", "NDIS.SYS"}) {
            const sim::image::Export *entry = sim::image::FindExport(module, name);
            exported |= entry != nullptr && !entry->data;
        }
        EXPECT_TRUE(exported) << name << " is declared in platform/ but not in sim/image/exports.inc";
    }
    EXPECT_GT(routines, 0);
}

TEST_F(ImageLoader, EachExportCarriesTheConventionOfItsDeclaration)
{
    using sim::image::Convention;
    const sim::image::Export *create = sim::image::FindExport("ntoskrnl.exe", "IoCreateDevice");
    ASSERT_NE(create, nullptr);
    EXPECT_EQ(create->convention, Convention::Stdcall);
    EXPECT_EQ(create->stackBytes, 28u);
    const sim::image::Export *release = sim::image::FindExport("hal.dll", "KfReleaseSpinLock");
    ASSERT_NE(release, nullptr);
    EXPECT_EQ(release->convention, Convention::Fastcall);
    EXPECT_EQ(release->stackBytes, 0u);
    const sim::image::Export *format = sim::image::FindExport("NTOSKRNL.EXE", "_snwprintf");
    ASSERT_NE(format, nullptr);
    EXPECT_EQ(format->convention, Convention::Cdecl);
    EXPECT_TRUE(format->variadic);
    const sim::image::Export *exports = sim::image::FindExport("ntoskrnl.exe", "SeExports");
    ASSERT_NE(exports, nullptr);
    EXPECT_TRUE(exports->data);
}

TEST_F(ImageLoader, RefusesAnImageOfAnotherMachineOrSubsystem)
{
    ImageBytes amd64;
    amd64.Put16(amd64.FileHeader(), 0x8664);
    ExpectRefusal(amd64.Write("machine.sys"), STATUS_INVALID_IMAGE_FORMAT, "machine 0x8664, not i386");

    ImageBytes console;
    console.Put16(console.OptionalHeader() + 68, 3);
    ExpectRefusal(console.Write("subsystem.sys"), STATUS_INVALID_IMAGE_FORMAT, "subsystem 3, not native");

    ImageBytes text;
    text.bytes.assign({'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    ExpectRefusal(text.Write("text.sys"), STATUS_INVALID_IMAGE_NOT_MZ, "no MZ header");
    ExpectRefusal(testing::TempDir() + "absent.sys", STATUS_OBJECT_NAME_NOT_FOUND, "cannot read");
}

TEST_F(ImageLoader, RefusesThreadLocalStorage)
{
    ImageBytes image;
    image.Put32(image.Directory(9), 0x1000);
    image.Put32(image.Directory(9) + 4, 24);
    ExpectRefusal(image.Write("tls.sys"), STATUS_INVALID_IMAGE_FORMAT, "thread-local storage");
}

TEST_F(ImageLoader, RefusesAnImportFromAnotherModule)
{
    ImageBytes image;
    size_t name = image.FileOffset(image.U32(image.ImportOf("HAL.dll") + 12));
    std::memcpy(&image.bytes.at(name), "HAX.dll", 7);
    ExpectRefusal(image.Write("module.sys"), STATUS_DLL_NOT_FOUND, "imports from HAX.dll");
}

TEST_F(ImageLoader, RefusesAnImportByOrdinal)
{
    ImageBytes image;
    size_t descriptor = image.ImportOf("NDIS.SYS");
    for (size_t table : {image.U32(descriptor), image.U32(descriptor + 16)}) {
        image.Put32(image.FileOffset(static_cast<uint32_t>(table)), 0x80000000u | 7);
    }
    ExpectRefusal(image.Write("ordinal.sys"), STATUS_DRIVER_ORDINAL_NOT_FOUND, "imports ordinal 7 from NDIS.SYS");
}

TEST_F(ImageLoader, RefusesAnImportTheSimDoesNotExport)
{
    ExpectRefusal(kFaults + "unexported_import_driver.sys", STATUS_DRIVER_ENTRYPOINT_NOT_FOUND,
                  "imports KeBugCheckEx from ntoskrnl.exe, which the sim does not export");
}

TEST_F(ImageLoader, ARoutineThatLeavesTheStackUnbalancedIsNamed)
{
    sim::Driver driver;
    std::string message;
    ASSERT_EQ(sim::LoadDriverImage(kFaults + "wrong_convention_driver.sys", u"planted", &driver, &message),
              STATUS_SUCCESS)
        << message;
    EXPECT_TRUE(driver.Stop());
    std::vector<std::string> violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rfind("image.stack-imbalance: DriverUnload: wrong_convention_driver.sys+0x", 0), 0u)
        << violations[0];
    EXPECT_NE(violations[0].find("-4 bytes off"), std::string::npos) << violations[0];
}

// The plug-and-play handler of an adapter's protocol goes through the same
// checked call as every other handler.
TEST_F(ImageLoader, AProtocolHandlerThatLeavesTheStackUnbalancedIsNamed)
{
    sim::Driver driver;
    std::string message;
    ASSERT_EQ(sim::LoadDriverImage(kFaults + "wrong_convention_pnp_driver.sys", u"planted", &driver, &message),
              STATUS_SUCCESS)
        << message;
    sim::Adapter nic = sim::AddAdapter();
    ASSERT_EQ(nic.LatestBind().Result(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(nic.IndicatePnPEvent(NetEventQueryPower), NDIS_STATUS_SUCCESS);
    std::vector<std::string> violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rfind("image.stack-imbalance: PnPEventHandler: wrong_convention_pnp_driver.sys+0x", 0), 0u)
        << violations[0];
    EXPECT_NE(violations[0].find("-8 bytes off"), std::string::npos) << violations[0];
    EXPECT_TRUE(driver.Stop());
}

}  // namespace
