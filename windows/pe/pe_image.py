"""A reader of 32-bit PE images: headers, sections, imports and the COFF
symbol table, enough to judge whether an image is a driver Windows loads."""

import struct
from dataclasses import dataclass

IMAGE_FILE_MACHINE_I386 = 0x014C
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_DLL = 0x2000
PE32_MAGIC = 0x010B
IMAGE_SUBSYSTEM_NATIVE = 1

DIRECTORY_IMPORT = 1
DIRECTORY_BASERELOC = 5
DIRECTORY_TLS = 9
DIRECTORY_DELAY_IMPORT = 13

CHECKSUM_OFFSET_IN_OPTIONAL_HEADER = 64


class PeFormatError(Exception):
    pass


@dataclass
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_offset: int
    raw_size: int


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeFormatError("no MZ header")
        pe_offset = self._u32(0x3C)
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PeFormatError("no PE signature")
        file_header = pe_offset + 4
        (self.machine, section_count, _, self.symbol_table_offset, self.symbol_count,
         optional_size, self.characteristics) = struct.unpack_from("<HHIIIHH", data, file_header)
        self.optional_header_offset = file_header + 20
        optional = self.optional_header_offset
        self.magic = self._u16(optional)
        if self.magic != PE32_MAGIC:
            raise PeFormatError("not a 32-bit (PE32) image")
        self.entry_point = self._u32(optional + 16)
        self.image_base = self._u32(optional + 28)
        self.checksum = self._u32(optional + CHECKSUM_OFFSET_IN_OPTIONAL_HEADER)
        self.subsystem = self._u16(optional + 68)
        directory_count = self._u32(optional + 92)
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * index)
                            for index in range(directory_count)]
        self.sections = []
        for index in range(section_count):
            offset = optional + optional_size + 40 * index
            name, virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, offset)
            self.sections.append(Section(name.rstrip(b"\0").decode("latin-1"), virtual_address,
                                         virtual_size, raw_offset, raw_size))

    def _u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def _u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def file_offset(self, rva):
        for section in self.sections:
            if section.virtual_address <= rva < section.virtual_address + max(section.virtual_size, section.raw_size):
                if rva - section.virtual_address >= section.raw_size:
                    raise PeFormatError("address 0x%x has no bytes in the file" % rva)
                return section.raw_offset + rva - section.virtual_address
        raise PeFormatError("address 0x%x is in no section" % rva)

    def u32_at(self, rva):
        return self._u32(self.file_offset(rva))

    def string_at(self, rva):
        start = self.file_offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def imported_dlls(self):
        """DLL name to the names (or ordinals) imported from it."""
        rva, size = self.directory(DIRECTORY_IMPORT)
        imports = {}
        if not rva or not size:
            return imports
        descriptor = rva
        while True:
            lookup, _, _, name_rva, address_table = struct.unpack_from("<IIIII", self.data, self.file_offset(descriptor))
            if not (lookup or name_rva or address_table):
                return imports
            names = []
            thunk = lookup or address_table
            while True:
                entry = self.u32_at(thunk)
                if entry == 0:
                    break
                names.append("#%d" % (entry & 0xFFFF) if entry & 0x80000000 else self.string_at(entry + 2))
                thunk += 4
            imports[self.string_at(name_rva)] = names
            descriptor += 20

    def symbols(self):
        """Name to address (RVA) of the COFF symbols that lie in sections."""
        if not self.symbol_table_offset:
            return {}
        strings = self.symbol_table_offset + 18 * self.symbol_count
        found = {}
        index = 0
        while index < self.symbol_count:
            offset = self.symbol_table_offset + 18 * index
            raw_name, value, section_number, _, _, aux_count = struct.unpack_from("<8sIhHBB", self.data, offset)
            if raw_name[:4] == b"\0\0\0\0":
                start = strings + struct.unpack_from("<I", raw_name, 4)[0]
                name = self.data[start:self.data.index(b"\0", start)].decode("latin-1")
            else:
                name = raw_name.rstrip(b"\0").decode("latin-1")
            if 0 < section_number <= len(self.sections):
                found[name] = self.sections[section_number - 1].virtual_address + value
            index += 1 + aux_count
        return found

    def computed_checksum(self):
        """The image checksum as the loader computes it: a 16-bit ones'
        complement sum over the file, checksum field taken as zero, plus
        the file length."""
        data = bytearray(self.data)
        field = self.optional_header_offset + CHECKSUM_OFFSET_IN_OPTIONAL_HEADER
        data[field:field + 4] = b"\0\0\0\0"
        if len(data) % 2:
            data.append(0)
        total = 0
        for (word,) in struct.iter_unpack("<H", data):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return total + len(self.data)
