// The parts of the PE/COFF image format a kernel loader reads, for 32-bit
// images (PE32). Every field is little-endian and read from the file through
// ReadAt, never by casting into it, so that a short or hostile file cannot
// make the loader read past what it holds.
#pragma once

#include <cstdint>

namespace sim::image {

constexpr uint16_t kDosSignature = 0x5A4D;       // "MZ"
constexpr uint32_t kDosNewHeaderOffset = 0x3C;   // e_lfanew
constexpr uint32_t kPeSignature = 0x00004550;    // "PE\0\0"
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kOptionalMagicPe32 = 0x010B;
constexpr uint16_t kSubsystemNative = 1;

struct FileHeader {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};
static_assert(sizeof(FileHeader) == 20);

struct DataDirectory {
    uint32_t VirtualAddress;
    uint32_t Size;
};

enum DirectoryIndex : uint32_t {
    kDirectoryImport = 1,
    kDirectoryBaseRelocation = 5,
    kDirectoryTls = 9,
    kDirectoryCount = 16,
};

struct OptionalHeader32 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion;
    uint8_t MinorLinkerVersion;
    uint32_t SizeOfCode;
    uint32_t SizeOfInitializedData;
    uint32_t SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint;
    uint32_t BaseOfCode;
    uint32_t BaseOfData;
    uint32_t ImageBase;
    uint32_t SectionAlignment;
    uint32_t FileAlignment;
    uint16_t MajorOperatingSystemVersion;
    uint16_t MinorOperatingSystemVersion;
    uint16_t MajorImageVersion;
    uint16_t MinorImageVersion;
    uint16_t MajorSubsystemVersion;
    uint16_t MinorSubsystemVersion;
    uint32_t Win32VersionValue;
    uint32_t SizeOfImage;
    uint32_t SizeOfHeaders;
    uint32_t CheckSum;
    uint16_t Subsystem;
    uint16_t DllCharacteristics;
    uint32_t SizeOfStackReserve;
    uint32_t SizeOfStackCommit;
    uint32_t SizeOfHeapReserve;
    uint32_t SizeOfHeapCommit;
    uint32_t LoaderFlags;
    uint32_t NumberOfRvaAndSizes;
    DataDirectory Directory[kDirectoryCount];
};
static_assert(sizeof(OptionalHeader32) == 224);

constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionUninitializedData = 0x00000080;
constexpr uint32_t kSectionDiscardable = 0x02000000;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

struct SectionHeader {
    char Name[8];
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t PointerToRawData;
    uint32_t PointerToRelocations;
    uint32_t PointerToLinenumbers;
    uint16_t NumberOfRelocations;
    uint16_t NumberOfLinenumbers;
    uint32_t Characteristics;
};
static_assert(sizeof(SectionHeader) == 40);

struct ImportDescriptor {
    uint32_t OriginalFirstThunk;  // the import lookup table: names or ordinals
    uint32_t TimeDateStamp;
    uint32_t ForwarderChain;
    uint32_t Name;                // the DLL's name
    uint32_t FirstThunk;          // the import address table the loader fills
};
static_assert(sizeof(ImportDescriptor) == 20);

constexpr uint32_t kImportByOrdinal = 0x80000000;

// A block of base relocations: one page's RVA, then 16-bit entries of a
// 4-bit type and a 12-bit offset into the page.
struct RelocationBlock {
    uint32_t PageRva;
    uint32_t BlockSize;
};
constexpr uint16_t kRelocationAbsolute = 0;  // padding, nothing to apply
constexpr uint16_t kRelocationHighLow = 3;   // a 32-bit address

}  // namespace sim::image
