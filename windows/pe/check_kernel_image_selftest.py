#!/usr/bin/env python3
"""Proves check_kernel_image.py on images whose verdict is known: a minimal
driver linked with the kernel image recipe passes; the same image with one
fault at a time, a driver with a static constructor and a user-mode program
are each refused for their own reason."""

import argparse
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import pe_image as pe
from check_kernel_image import image_problems


def with_checksum(data):
    """The image with its checksum made right again, so that a test fault is
    the only one."""
    image = pe.PeImage(bytes(data))
    struct.pack_into("<I", data, image.optional_header_offset + pe.CHECKSUM_OFFSET_IN_OPTIONAL_HEADER,
                     image.computed_checksum())
    return data


def mutate_u16(offset, value):
    return lambda data, image: struct.pack_into("<H", data, offset(image), value)


def mutate_u32(offset, value):
    return lambda data, image: struct.pack_into("<I", data, offset(image), value)


def rename_import(data, image):
    name = b"NDIS.SYS"
    start = data.find(name)
    data[start:start + len(name)] = b"NDIS.SYX"


def mark_dll(data, image):
    struct.pack_into("<H", data, image.optional_header_offset - 2, image.characteristics | pe.IMAGE_FILE_DLL)


def drop_relocations(data, image):
    struct.pack_into("<II", data, image.optional_header_offset + 96 + 8 * pe.DIRECTORY_BASERELOC, 0, 0)


def add_tls(data, image):
    struct.pack_into("<II", data, image.optional_header_offset + 96 + 8 * pe.DIRECTORY_TLS, 0x1000, 24)


def add_delay_imports(data, image):
    struct.pack_into("<II", data, image.optional_header_offset + 96 + 8 * pe.DIRECTORY_DELAY_IMPORT, 0x1000, 32)


# Each fault, and the words the check must use to refuse it.
FAULTS = [
    ("machine x64", mutate_u16(lambda image: image.optional_header_offset - 20, 0x8664), "not i386"),
    ("console subsystem", mutate_u16(lambda image: image.optional_header_offset + 68, 3), "not native"),
    ("entry point beside DriverEntry", mutate_u32(lambda image: image.optional_header_offset + 16,
                                                  0), "not DriverEntry"),
    ("import from another DLL", rename_import, "imports from NDIS.SYX"),
    ("marked as a DLL", mark_dll, "marked as a DLL"),
    ("no base relocations", drop_relocations, "no base relocations"),
    ("thread-local storage", add_tls, "thread-local storage"),
    ("delay-loaded imports", add_delay_imports, "delay-loaded imports"),
]


def expect_only(label, problems, words):
    if len(problems) != 1 or words not in problems[0]:
        return ["%s: expected one problem naming %r, got %s" % (label, words, problems)]
    return []


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--driver", type=Path, required=True, help="the minimal driver image")
    parser.add_argument("--constructor-driver", type=Path, required=True)
    parser.add_argument("--user-mode", type=Path, required=True, help="a user-mode program")
    parser.add_argument("--stamp", type=Path)
    args = parser.parse_args()

    failures = []
    driver = args.driver.read_bytes()
    problems = image_problems(pe.PeImage(driver))
    if problems:
        failures.append("the minimal driver is refused: %s" % problems)

    for label, fault, words in FAULTS:
        data = bytearray(driver)
        fault(data, pe.PeImage(driver))
        failures += expect_only(label, image_problems(pe.PeImage(bytes(with_checksum(data)))), words)

    bad_checksum = bytearray(driver)
    struct.pack_into("<I", bad_checksum, pe.PeImage(driver).optional_header_offset
                     + pe.CHECKSUM_OFFSET_IN_OPTIONAL_HEADER, 0)
    failures += expect_only("checksum zero", image_problems(pe.PeImage(bytes(bad_checksum))), "checksum")

    failures += expect_only("static constructor", image_problems(pe.PeImage(args.constructor_driver.read_bytes())),
                            "static constructors")

    user_mode = image_problems(pe.PeImage(args.user_mode.read_bytes()))
    for words in ("not native", "imports from KERNEL32.dll"):
        if not any(words in problem for problem in user_mode):
            failures.append("user-mode program: no problem naming %r in %s" % (words, user_mode))

    # The command itself: its exit status is what the build acts on.
    checker = Path(__file__).resolve().parent / "check_kernel_image.py"
    with tempfile.TemporaryDirectory() as scratch:
        truncated = Path(scratch) / "truncated.sys"
        truncated.write_bytes(driver[:0x100])
        for image, status in ((args.driver, 0), (args.user_mode, 1), (truncated, 1)):
            result = subprocess.run([sys.executable, "-B", str(checker), str(image)], capture_output=True, text=True)
            if result.returncode != status:
                failures.append("check_kernel_image.py %s exited %d, expected %d: %s"
                                % (image.name, result.returncode, status, result.stderr.strip()))

    if failures:
        print("The kernel image check does not judge as it should:", file=sys.stderr)
        for failure in failures:
            print("  " + failure, file=sys.stderr)
        sys.exit(1)
    if args.stamp:
        args.stamp.touch()


if __name__ == "__main__":
    main()
