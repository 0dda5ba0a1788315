#!/usr/bin/env python3
"""Fails unless every structure, field, scalar type, enum, constant and
handler type that platform/ declares has its line in the list of its header
(platform/<name>.h is listed in windows/layout/<name>.inc), so that nothing
the driver relies on escapes the comparison with the DDK."""

import argparse
import re
import sys
from pathlib import Path

from platform_scan import scan_platform

LIST_LINE = re.compile(r"^\s*(LAYOUT_\w+)\((.*)\)\s*$")


def empty_listing():
    return {"sizes": set(), "fields": set(), "values": set(), "handlers": set(),
            "handler_types": set(), "skipped": set()}


def listed_items(list_path):
    """The items one list file names, in the shapes platform_scan reports."""
    listed = empty_listing()
    for line in list_path.read_text().splitlines():
        match = LIST_LINE.match(line)
        if not match:
            continue
        macro, arguments = match.group(1), [part.strip() for part in match.group(2).split(",")]
        if macro in ("LAYOUT_SIZE", "LAYOUT_SCALAR"):
            listed["sizes"].add(arguments[0])
        elif macro in ("LAYOUT_FIELD", "LAYOUT_FIELD_AS"):
            listed["fields"].add((arguments[0], arguments[1]))
        elif macro == "LAYOUT_VALUE":
            listed["values"].add(arguments[0])
        elif macro in ("LAYOUT_HANDLER", "LAYOUT_HANDLER_STDCALL_DEFAULT"):
            listed["handlers"].add(arguments[0])
        elif macro == "LAYOUT_HANDLER_TYPE":
            listed["handler_types"].add(arguments[0])
        elif macro == "LAYOUT_SKIP":
            listed["skipped"].add(arguments[0])
    return listed


def missing_lines(items, listed):
    """The lines the list lacks, in the order the header declares the items."""
    skipped = listed["skipped"]
    wanted = []
    for (kind, item), position in items.positions.items():
        if kind == "sizes" and item not in listed["sizes"] | skipped:
            wanted.append((position, "LAYOUT_SIZE(%s)" % item))
        elif kind == "fields" and item not in listed["fields"] and "%s.%s" % item not in skipped:
            wanted.append((position, "LAYOUT_FIELD(%s, %s)" % item))
        elif kind in ("values", "handlers", "handler_types") and item not in listed[kind] | skipped:
            macro = {"values": "LAYOUT_VALUE", "handlers": "LAYOUT_HANDLER",
                     "handler_types": "LAYOUT_HANDLER_TYPE"}[kind]
            wanted.append((position, "%s(%s)" % (macro, item)))
    return [line for _, line in sorted(wanted)]


def append_lines(list_path, header, lines):
    """Adds the lines to the list, a blank line before each new type."""
    text = list_path.read_text() if list_path.exists() else \
        "// platform/%s, checked against the mingw-w64 DDK headers.\n" % header
    text = text.rstrip("\n") + "\n"
    previous = ""
    for line in lines:
        new_group = line.startswith("LAYOUT_SIZE(") or \
            (line.startswith("LAYOUT_HANDLER") and not previous.startswith("LAYOUT_HANDLER"))
        if new_group and not text.endswith("\n\n"):
            text += "\n"
        text += line + "\n"
        previous = line
    list_path.write_text(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("platform", type=Path, help="the platform/ folder")
    parser.add_argument("lists", type=Path, help="the folder of the lists")
    parser.add_argument("--cxx", default="i686-w64-mingw32-g++", help="the Windows target's C++ compiler")
    parser.add_argument("--stamp", type=Path, help="file to touch when every item is listed")
    parser.add_argument("--append-missing", action="store_true",
                        help="add the missing lines to the lists instead of failing")
    args = parser.parse_args()

    problems = []
    for header, items in scan_platform(args.platform, args.cxx).items():
        list_path = args.lists / (Path(header).stem + ".inc")
        listed = listed_items(list_path) if list_path.exists() else empty_listing()
        wanted = missing_lines(items, listed)
        if wanted and args.append_missing:
            append_lines(list_path, header, wanted)
        elif wanted:
            action = "lacks" if list_path.exists() else "does not exist; create it with"
            problems.append("%s %s these lines (platform/%s declares the items):" % (list_path, action, header))
            problems += ["    " + line for line in wanted]
    if problems:
        print("The layout check does not cover all of platform/:", file=sys.stderr)
        for problem in problems:
            print("  " + problem, file=sys.stderr)
        print("This adds them, for the build to compare with the DDK:\n    python3 -B %s %s %s --cxx %s --append-missing"
              % (Path(__file__).resolve(), args.platform.resolve(), args.lists.resolve(), args.cxx), file=sys.stderr)
        print("LAYOUT_SCALAR(T) also checks a scalar type's signedness; LAYOUT_FIELD_AS(T, field, ddk_field)\n"
              "names a field the DDK calls otherwise; LAYOUT_HANDLER_STDCALL_DEFAULT(T) holds a handler type\n"
              "the DDK leaves unmarked to stdcall, the kernel's default; LAYOUT_SKIP(name) or LAYOUT_SKIP(T.field) leaves an\n"
              "item unchecked, with a comment saying why.", file=sys.stderr)
        sys.exit(1)
    if args.stamp:
        args.stamp.touch()


if __name__ == "__main__":
    main()
