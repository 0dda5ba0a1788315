#!/usr/bin/env python3
"""Proves that the layout, coverage and conventions checks catch what they
are for: each test copies platform/, plants one fault of a kind the checks
must refuse, and expects the refusal to name the item."""

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path


def plant(platform_copy, header, old, new):
    path = platform_copy / header
    text = path.read_text()
    if old not in text:
        raise RuntimeError("%s no longer contains %r; update this self-test" % (header, old))
    path.write_text(text.replace(old, new, 1))


# (header, text, replacement, words the refusal must contain)
LAYOUT_FAULTS = [
    ("ndis.h", "KIRQL OldIrql;", "USHORT OldIrql;", "fieldsize NDIS_SPIN_LOCK.OldIrql"),
    ("ndis.h", "#define NDIS_STATUS_MEDIA_CONNECT ((NDIS_STATUS)0x4001000BL)",
     "#define NDIS_STATUS_MEDIA_CONNECT ((NDIS_STATUS)0x4001000DL)", "value NDIS_STATUS_MEDIA_CONNECT"),
    ("ke.h", "    UCHAR Absolute;\n    UCHAR Size;", "    UCHAR Size;\n    UCHAR Absolute;",
     "offset DISPATCHER_HEADER.Absolute"),
    ("types.h", "typedef unsigned char BOOLEAN", "typedef signed char BOOLEAN", "signed BOOLEAN"),
]
CONVENTION_FAULTS = [
    ("ndis_protocol.h", "typedef VOID(NTAPI *STATUS_COMPLETE_HANDLER)", "typedef VOID(*STATUS_COMPLETE_HANDLER)",
     "handler type STATUS_COMPLETE_HANDLER: platform/ makes it cdecl, the DDK stdcall, 4 argument bytes"),
    ("ex.h", "VOID NTAPI ExFreePoolWithTag", "VOID FASTCALL ExFreePoolWithTag",
     "ExFreePoolWithTag: platform/ declares it fastcall, 8 argument bytes, the kernel exports "
     "_ExFreePoolWithTag@8 (stdcall, 8 argument bytes)"),
]
COVERAGE_FAULT = ("list.h", "typedef struct _LIST_ENTRY {",
                  "typedef struct _SINGLE_LIST_ENTRY {\n    struct _SINGLE_LIST_ENTRY *Next;\n"
                  "} SINGLE_LIST_ENTRY;\n\ntypedef struct _LIST_ENTRY {",
                  ["LAYOUT_SIZE(SINGLE_LIST_ENTRY)", "LAYOUT_FIELD(SINGLE_LIST_ENTRY, Next)"])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source", type=Path, required=True, help="the repository")
    parser.add_argument("--generated", type=Path, required=True, help="the layout check's build folder")
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--flag", action="append", default=[], help="a flag of the layout compilation")
    parser.add_argument("--conventions-command", nargs=argparse.REMAINDER, required=True,
                        help="check_conventions.py and its arguments, without --platform")
    parser.add_argument("--stamp", type=Path)
    args, _ = parser.parse_known_args()

    layout_source = args.source / "windows" / "layout"
    failures = []

    def compile_layout(root, assembly):
        return subprocess.run([args.cxx, *args.flag, "-I%s" % root, "-I%s" % args.source, "-I%s" % args.generated,
                               "-S", str(layout_source / "platform_layout.cpp"), "-o", str(assembly)],
                              capture_output=True, text=True)

    with tempfile.TemporaryDirectory() as scratch:
        def fresh_copy(name):
            root = Path(scratch) / name
            shutil.copytree(args.source / "platform", root / "platform")
            return root

        for index, (header, old, new, words) in enumerate(LAYOUT_FAULTS):
            root = fresh_copy("layout%d" % index)
            plant(root / "platform", header, old, new)
            result = compile_layout(root, root / "platform_layout.s")
            if result.returncode == 0 or "platform/ differs from the DDK: " + words not in result.stderr:
                failures.append("%s in platform/%s was not refused as %r" % (new, header, words))

        for index, (header, old, new, words) in enumerate(CONVENTION_FAULTS):
            root = fresh_copy("conventions%d" % index)
            plant(root / "platform", header, old, new)
            assembly = root / "platform_layout.s"
            compiled = compile_layout(root, assembly)
            if compiled.returncode != 0:
                failures.append("%s in platform/%s did not compile: %s" % (new, header, compiled.stderr))
                continue
            result = subprocess.run([sys.executable, "-B", *args.conventions_command, "--platform", str(assembly)],
                                    capture_output=True, text=True)
            if result.returncode == 0 or words not in result.stderr:
                failures.append("%s in platform/%s was not refused as %r: %s"
                                % (new, header, words, result.stderr.strip()))

        header, old, new, wanted = COVERAGE_FAULT
        root = fresh_copy("coverage")
        plant(root / "platform", header, old, new)
        result = subprocess.run([sys.executable, "-B", str(layout_source / "check_coverage.py"), str(root / "platform"),
                                 str(layout_source), "--cxx", args.cxx], capture_output=True, text=True)
        if result.returncode == 0 or not all(line in result.stderr for line in wanted):
            failures.append("an unlisted record in platform/%s was not reported: %s"
                            % (header, result.stderr.strip()))

    if failures:
        print("The layout checks miss faults they must catch:", file=sys.stderr)
        for failure in failures:
            print("  " + failure, file=sys.stderr)
        sys.exit(1)
    if args.stamp:
        args.stamp.touch()


if __name__ == "__main__":
    main()
