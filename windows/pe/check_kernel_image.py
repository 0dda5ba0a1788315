#!/usr/bin/env python3
"""Fails unless a linked image is a 32-bit x86 kernel driver as Windows loads
it: machine i386, native subsystem, DriverEntry as its entry point, imports
only from ntoskrnl.exe, hal.dll and ndis.sys, base relocations, a valid
checksum, and nothing that runs before DriverEntry (no static constructors,
no thread-local storage callbacks)."""

import argparse
import struct
import sys
from pathlib import Path

import pe_image as pe

KERNEL_DLLS = ("ntoskrnl.exe", "hal.dll", "ndis.sys")
ENTRY_SYMBOL = "_DriverEntry@8"


def constructor_problems(image, symbols):
    """The linker brackets the constructor and destructor lists with -1 and 0;
    anything between the two is code that would run before DriverEntry."""
    problems = []
    for symbol, what in (("___CTOR_LIST__", "static constructors"), ("___DTOR_LIST__", "static destructors")):
        if symbol not in symbols:
            continue
        start = symbols[symbol]
        if image.u32_at(start) != 0xFFFFFFFF:
            problems.append("its %s list is not where the linker marks it" % what)
        elif image.u32_at(start + 4) != 0:
            problems.append("it has %s" % what)
    return problems


def image_problems(image):
    problems = []
    if image.machine != pe.IMAGE_FILE_MACHINE_I386:
        problems.append("machine is 0x%04x, not i386 (0x014c)" % image.machine)
    if image.subsystem != pe.IMAGE_SUBSYSTEM_NATIVE:
        problems.append("subsystem is %d, not native (1)" % image.subsystem)
    if image.characteristics & pe.IMAGE_FILE_DLL:
        problems.append("it is marked as a DLL")

    symbols = image.symbols()
    if ENTRY_SYMBOL not in symbols:
        problems.append("it has no %s symbol to check the entry point against" % ENTRY_SYMBOL)
    elif image.entry_point != symbols[ENTRY_SYMBOL]:
        problems.append("entry point is 0x%x, not DriverEntry (0x%x)" % (image.entry_point, symbols[ENTRY_SYMBOL]))

    for dll, names in sorted(image.imported_dlls().items()):
        if dll.lower() not in KERNEL_DLLS:
            problems.append("it imports from %s (%s)" % (dll, ", ".join(names)))
    if image.directory(pe.DIRECTORY_DELAY_IMPORT)[1]:
        problems.append("it has delay-loaded imports")
    if image.directory(pe.DIRECTORY_TLS)[1]:
        problems.append("it has thread-local storage")

    if image.characteristics & pe.IMAGE_FILE_RELOCS_STRIPPED or not image.directory(pe.DIRECTORY_BASERELOC)[1]:
        problems.append("it has no base relocations, so it loads only at its preferred address")
    if image.checksum != image.computed_checksum():
        problems.append("checksum is 0x%08x, should be 0x%08x" % (image.checksum, image.computed_checksum()))

    problems += constructor_problems(image, symbols)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("image", type=Path)
    parser.add_argument("--stamp", type=Path, help="file to touch when the image passes")
    args = parser.parse_args()
    try:
        problems = image_problems(pe.PeImage(args.image.read_bytes()))
    except (pe.PeFormatError, struct.error, IndexError, ValueError) as error:
        problems = ["it cannot be read as a 32-bit PE image: %s" % error]
    if problems:
        print("%s is not a kernel driver Windows would load:" % args.image, file=sys.stderr)
        for problem in problems:
            print("  " + problem, file=sys.stderr)
        sys.exit(1)
    if args.stamp:
        args.stamp.touch()


if __name__ == "__main__":
    main()
