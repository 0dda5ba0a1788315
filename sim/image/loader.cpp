// The kernel's loader for 32-bit x86 driver images: read, check, map at an
// address other than the preferred base, relocate, resolve the imports
// against the sim's exports, protect each section as it asks.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "sim/image.h"
#include "sim/image/boundary.h"
#include "sim/image/exports.h"
#include "sim/image/pe_format.h"

namespace sim {

class DriverImage {
public:
    ~DriverImage()
    {
        if (base != nullptr) {
            image::RemoveImageSpan(base);
            munmap(base, size);
        }
    }

    unsigned char *base = nullptr;
    size_t size = 0;
    // [rva, rva + size) of each discardable section.
    std::vector<std::pair<uint32_t, uint32_t>> discardable;
    image::ImportThunks thunks;
};

namespace {

using namespace sim::image;

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string BaseName(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A refusal: the status and the message, which begins with the image's name.
struct Refusal {
    NTSTATUS status;
    std::string message;
};

class Loader {
public:
    Loader(const std::string &path, std::vector<unsigned char> file)
        : name_(BaseName(path)), file_(std::move(file))
    {
    }

    std::optional<Refusal> Map(DriverImage *image, PDRIVER_INITIALIZE *entry);

private:
    template <typename T>
    std::optional<T> FileAt(uint64_t offset) const
    {
        if (offset + sizeof(T) > file_.size()) {
            return std::nullopt;
        }
        T value;
        std::memcpy(&value, file_.data() + offset, sizeof(T));
        return value;
    }

    // True when [rva, rva + length) lies in the mapped image.
    bool InImage(uint32_t rva, uint32_t length) const { return uint64_t(rva) + length <= size_; }
    template <typename T>
    std::optional<T> ImageAt(uint32_t rva) const
    {
        if (!InImage(rva, sizeof(T))) {
            return std::nullopt;
        }
        T value;
        std::memcpy(&value, base_ + rva, sizeof(T));
        return value;
    }
    // The NUL-terminated name at `rva`, or nullopt when it runs out of the image.
    std::optional<std::string> NameAt(uint32_t rva) const
    {
        if (!InImage(rva, 1)) {
            return std::nullopt;
        }
        const void *end = std::memchr(base_ + rva, 0, size_ - rva);
        if (end == nullptr) {
            return std::nullopt;
        }
        return std::string(reinterpret_cast<const char *>(base_ + rva), static_cast<const char *>(end));
    }

    Refusal Refuse(NTSTATUS status, const std::string &why) const { return Refusal{status, name_ + ": " + why}; }
    Refusal Malformed(const std::string &why) const { return Refuse(STATUS_INVALID_IMAGE_FORMAT, why); }

    std::optional<Refusal> ReadHeaders();
    std::optional<Refusal> MapSections(DriverImage *image);
    std::optional<Refusal> Relocate();
    std::optional<Refusal> ResolveImports(DriverImage *image);
    std::optional<Refusal> Protect(DriverImage *image);

    std::string name_;
    std::vector<unsigned char> file_;
    FileHeader fileHeader_{};
    OptionalHeader32 optional_{};
    std::vector<SectionHeader> sections_;
    unsigned char *base_ = nullptr;
    size_t size_ = 0;
};

std::optional<Refusal> Loader::ReadHeaders()
{
    std::optional<uint16_t> dos = FileAt<uint16_t>(0);
    if (!dos || *dos != kDosSignature) {
        return Refuse(STATUS_INVALID_IMAGE_NOT_MZ, "not an executable image (no MZ header)");
    }
    std::optional<uint32_t> peOffset = FileAt<uint32_t>(kDosNewHeaderOffset);
    std::optional<uint32_t> signature = peOffset ? FileAt<uint32_t>(*peOffset) : std::nullopt;
    if (!signature || *signature != kPeSignature) {
        return Malformed("no PE header");
    }
    std::optional<FileHeader> fileHeader = FileAt<FileHeader>(uint64_t(*peOffset) + 4);
    if (!fileHeader) {
        return Malformed("the file header is cut short");
    }
    fileHeader_ = *fileHeader;
    if (fileHeader_.Machine != kMachineI386) {
        return Malformed("an image for machine " + Hex(fileHeader_.Machine) + ", not i386 (" + Hex(kMachineI386) + ")");
    }
    uint64_t optionalOffset = uint64_t(*peOffset) + 4 + sizeof(FileHeader);
    std::optional<uint16_t> magic = FileAt<uint16_t>(optionalOffset);
    if (!magic || *magic != kOptionalMagicPe32 || fileHeader_.SizeOfOptionalHeader < sizeof(OptionalHeader32)) {
        return Malformed("not a PE32 image");
    }
    std::optional<OptionalHeader32> optional = FileAt<OptionalHeader32>(optionalOffset);
    if (!optional || optional->NumberOfRvaAndSizes < kDirectoryCount) {
        return Malformed("the optional header is cut short");
    }
    optional_ = *optional;
    if (optional_.Subsystem != kSubsystemNative) {
        return Malformed("subsystem " + std::to_string(optional_.Subsystem) + ", not native (1): not a kernel driver");
    }
    if (optional_.Directory[kDirectoryTls].VirtualAddress != 0 || optional_.Directory[kDirectoryTls].Size != 0) {
        return Malformed("the image has thread-local storage, which the kernel does not give drivers");
    }
    long page = sysconf(_SC_PAGESIZE);
    if (optional_.SectionAlignment < static_cast<uint32_t>(page) || optional_.SectionAlignment % page != 0) {
        return Malformed("section alignment " + Hex(optional_.SectionAlignment) + " is not a multiple of the page size");
    }
    if (optional_.SizeOfImage == 0 || optional_.SizeOfImage > (64u << 20) ||
        optional_.SizeOfHeaders > optional_.SizeOfImage) {
        return Malformed("image size " + Hex(optional_.SizeOfImage) + " is not a driver's");
    }
    uint64_t sectionOffset = optionalOffset + fileHeader_.SizeOfOptionalHeader;
    for (uint16_t index = 0; index < fileHeader_.NumberOfSections; ++index) {
        std::optional<SectionHeader> section = FileAt<SectionHeader>(sectionOffset + index * sizeof(SectionHeader));
        if (!section) {
            return Malformed("the section table is cut short");
        }
        sections_.push_back(*section);
    }
    return std::nullopt;
}

std::string SectionName(const SectionHeader &section)
{
    return std::string(section.Name, strnlen(section.Name, sizeof section.Name));
}

// The section's extent in memory: its virtual size, rounded up to the alignment.
uint32_t MappedSize(const SectionHeader &section, uint32_t alignment)
{
    uint64_t size = section.VirtualSize != 0 ? section.VirtualSize : section.SizeOfRawData;
    return static_cast<uint32_t>((size + alignment - 1) / alignment * alignment);
}

std::optional<Refusal> Loader::MapSections(DriverImage *image)
{
    size_ = (uint64_t(optional_.SizeOfImage) + optional_.SectionAlignment - 1) / optional_.SectionAlignment *
            optional_.SectionAlignment;
    void *mapped = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        return Refuse(STATUS_INSUFFICIENT_RESOURCES, "no memory to map " + Hex(optional_.SizeOfImage) + " bytes");
    }
    image->base = base_ = static_cast<unsigned char *>(mapped);
    image->size = size_;
    if (reinterpret_cast<uintptr_t>(base_) == optional_.ImageBase) {
        return Refuse(STATUS_INSUFFICIENT_RESOURCES, "the image landed at its preferred base, which the sim avoids");
    }
    std::memcpy(base_, file_.data(), std::min<size_t>(optional_.SizeOfHeaders, file_.size()));
    for (const SectionHeader &section : sections_) {
        uint32_t extent = MappedSize(section, optional_.SectionAlignment);
        if (section.VirtualAddress % optional_.SectionAlignment != 0 || !InImage(section.VirtualAddress, extent)) {
            return Malformed("section " + SectionName(section) + " lies outside the image");
        }
        uint32_t raw = std::min(section.SizeOfRawData, section.VirtualSize != 0 ? section.VirtualSize
                                                                               : section.SizeOfRawData);
        if ((section.Characteristics & kSectionUninitializedData) != 0) {
            continue;  // left zeroed
        }
        if (uint64_t(section.PointerToRawData) + raw > file_.size()) {
            return Malformed("section " + SectionName(section) + " runs past the end of the file");
        }
        std::memcpy(base_ + section.VirtualAddress, file_.data() + section.PointerToRawData, raw);
        if ((section.Characteristics & kSectionDiscardable) != 0) {
            image->discardable.emplace_back(section.VirtualAddress, extent);
        }
    }
    return std::nullopt;
}

std::optional<Refusal> Loader::Relocate()
{
    const DataDirectory &directory = optional_.Directory[kDirectoryBaseRelocation];
    if (directory.Size == 0) {
        return Malformed("no base relocations: it cannot run away from its preferred base " + Hex(optional_.ImageBase));
    }
    if (!InImage(directory.VirtualAddress, directory.Size)) {
        return Malformed("the base relocations lie outside the image");
    }
    uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base_)) - optional_.ImageBase;
    uint32_t at = directory.VirtualAddress;
    uint32_t end = directory.VirtualAddress + directory.Size;
    while (at + sizeof(RelocationBlock) <= end) {
        RelocationBlock block = *ImageAt<RelocationBlock>(at);
        if (block.BlockSize < sizeof(RelocationBlock) || block.BlockSize > end - at) {
            return Malformed("a base relocation block at " + Hex(at) + " has size " + Hex(block.BlockSize));
        }
        for (uint32_t entry = at + sizeof(RelocationBlock); entry + 2 <= at + block.BlockSize; entry += 2) {
            uint16_t value = *ImageAt<uint16_t>(entry);
            uint16_t type = value >> 12;
            uint32_t target = block.PageRva + (value & 0xFFF);
            if (type == kRelocationAbsolute) {
                continue;
            }
            if (type != kRelocationHighLow) {
                return Malformed("base relocation type " + std::to_string(type) + " at " + Hex(target) +
                                 " is not one of x86");
            }
            std::optional<uint32_t> address = ImageAt<uint32_t>(target);
            if (!address) {
                return Malformed("a base relocation at " + Hex(target) + " lies outside the image");
            }
            uint32_t moved = *address + delta;
            std::memcpy(base_ + target, &moved, sizeof moved);
        }
        at += block.BlockSize;
    }
    return std::nullopt;
}

std::optional<Refusal> Loader::ResolveImports(DriverImage *image)
{
    const DataDirectory &directory = optional_.Directory[kDirectoryImport];
    struct Slot {
        uint32_t rva;
        const Export *entry;
    };
    std::vector<Slot> slots;
    for (uint32_t at = directory.VirtualAddress; directory.Size != 0; at += sizeof(ImportDescriptor)) {
        std::optional<ImportDescriptor> descriptor = ImageAt<ImportDescriptor>(at);
        if (!descriptor) {
            return Malformed("the import directory runs out of the image");
        }
        if (descriptor->Name == 0 && descriptor->FirstThunk == 0) {
            break;
        }
        std::optional<std::string> module = NameAt(descriptor->Name);
        if (!module) {
            return Malformed("an imported module's name runs out of the image");
        }
        if (!ExportingModule(*module)) {
            return Refuse(STATUS_DLL_NOT_FOUND, "imports from " + *module + ", but the sim's kernel has only " +
                                                    ExportingModuleNames());
        }
        uint32_t lookup = descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
        for (uint32_t index = 0;; ++index) {
            std::optional<uint32_t> item = ImageAt<uint32_t>(lookup + index * 4);
            if (!item || !InImage(descriptor->FirstThunk + index * 4, 4)) {
                return Malformed("the imports from " + *module + " run out of the image");
            }
            if (*item == 0) {
                break;
            }
            if ((*item & kImportByOrdinal) != 0) {
                return Refuse(STATUS_DRIVER_ORDINAL_NOT_FOUND, "imports ordinal " + std::to_string(*item & 0xFFFF) +
                                                                   " from " + *module +
                                                                   "; the sim exports by name only");
            }
            std::optional<std::string> name = NameAt(*item + 2);  // after the hint
            if (!name) {
                return Malformed("an import's name from " + *module + " runs out of the image");
            }
            const Export *entry = FindExport(*module, *name);
            if (entry == nullptr) {
                return Refuse(STATUS_DRIVER_ENTRYPOINT_NOT_FOUND,
                              "imports " + *name + " from " + *module + ", which the sim does not export");
            }
            slots.push_back(Slot{descriptor->FirstThunk + index * 4, entry});
        }
    }
    std::vector<const Export *> routines;
    for (const Slot &slot : slots) {
        if (!slot.entry->data) {
            routines.push_back(slot.entry);
        }
    }
    if (!image->thunks.Build(routines)) {
        return Refuse(STATUS_INSUFFICIENT_RESOURCES, "no memory for the import thunks");
    }
    size_t routine = 0;
    for (const Slot &slot : slots) {
        const void *target = slot.entry->data ? slot.entry->address : image->thunks.Entry(routine++);
        uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(target));
        std::memcpy(base_ + slot.rva, &address, sizeof address);
    }
    return std::nullopt;
}

int Protection(uint32_t characteristics)
{
    int protection = PROT_READ;
    if ((characteristics & kSectionExecute) != 0) {
        protection |= PROT_EXEC;
    }
    if ((characteristics & kSectionWrite) != 0) {
        protection |= PROT_WRITE;
    }
    return protection;
}

std::optional<Refusal> Loader::Protect(DriverImage *image)
{
    // The headers are read-only; so is whatever the sections leave uncovered.
    if (mprotect(base_, size_, PROT_READ) != 0) {
        return Refuse(STATUS_INSUFFICIENT_RESOURCES, std::string("cannot protect the image: ") + std::strerror(errno));
    }
    for (const SectionHeader &section : sections_) {
        uint32_t extent = MappedSize(section, optional_.SectionAlignment);
        if (extent != 0 && mprotect(base_ + section.VirtualAddress, extent, Protection(section.Characteristics)) != 0) {
            return Refuse(STATUS_INSUFFICIENT_RESOURCES,
                          "cannot protect section " + SectionName(section) + ": " + std::strerror(errno));
        }
    }
    return std::nullopt;
}

std::optional<Refusal> Loader::Map(DriverImage *image, PDRIVER_INITIALIZE *entry)
{
    if (std::optional<Refusal> refusal = ReadHeaders()) {
        return refusal;
    }
    if (std::optional<Refusal> refusal = MapSections(image)) {
        return refusal;
    }
    if (std::optional<Refusal> refusal = Relocate()) {
        return refusal;
    }
    if (std::optional<Refusal> refusal = ResolveImports(image)) {
        return refusal;
    }
    uint32_t start = optional_.AddressOfEntryPoint;
    bool inCode = false;
    for (const SectionHeader &section : sections_) {
        inCode |= (section.Characteristics & kSectionExecute) != 0 && start >= section.VirtualAddress &&
                  start < section.VirtualAddress + MappedSize(section, optional_.SectionAlignment);
    }
    if (!inCode) {
        return Malformed("the entry point " + Hex(start) + " is not in a code section");
    }
    if (std::optional<Refusal> refusal = Protect(image)) {
        return refusal;
    }
    AddImageSpan(base_, size_, name_);
    *entry = reinterpret_cast<PDRIVER_INITIALIZE>(base_ + start);
    return std::nullopt;
}

}  // namespace

MappedImage MapDriverImage(const std::string &path)
{
    MappedImage mapped;
#if !defined(__i386__)
    mapped.status = STATUS_NOT_SUPPORTED;
    mapped.message = BaseName(path) + ": driver images run only in the 32-bit x86 build of the sim (preset x86)";
    return mapped;
#endif
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::streamoff length = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    std::vector<unsigned char> file(length > 0 ? static_cast<size_t>(length) : 0);
    if (length < 0 || !in.seekg(0).read(reinterpret_cast<char *>(file.data()), length)) {
        mapped.status = STATUS_OBJECT_NAME_NOT_FOUND;
        mapped.message = "cannot read " + path + ": " + std::strerror(errno);
        return mapped;
    }
    auto image = std::make_shared<DriverImage>();
    PDRIVER_INITIALIZE entry = nullptr;
    Loader loader(path, std::move(file));
    if (std::optional<Refusal> refusal = loader.Map(image.get(), &entry)) {
        mapped.status = refusal->status;
        mapped.message = refusal->message;
        return mapped;
    }
    mapped.status = STATUS_SUCCESS;
    mapped.image = image;
    mapped.entry = entry;
    return mapped;
}

void DiscardSections(DriverImage &image)
{
    for (const auto &[rva, extent] : image.discardable) {
        mmap(image.base + rva, extent, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    }
    image.discardable.clear();
}

NTSTATUS LoadDriverImage(const std::string &path, const std::u16string &serviceName, Driver *driver,
                         std::string *message)
{
    MappedImage mapped = MapDriverImage(path);
    if (!NT_SUCCESS(mapped.status)) {
        *message = mapped.message;
        return mapped.status;
    }
    NTSTATUS status = Driver::Load(mapped.entry, serviceName, driver, mapped.image);
    if (!NT_SUCCESS(status)) {
        *message = BaseName(path) + ": DriverEntry failed with " + Hex(static_cast<uint32_t>(status));
    }
    return status;
}

}  // namespace sim
