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
        elif macro == "LAYOUT_HANDLER":
            listed["handlers"].add(arguments[0])
        elif macro == "LAYOUT_HANDLER_TYPE":
            listed["handler_types"].add(arguments[0])
        elif macro == "LAYOUT_SKIP":
            listed["skipped"].add(arguments[0])
    return listed


def missing_lines(items, listed):
    skipped = listed["skipped"]
    wanted = []
    wanted += ["LAYOUT_SIZE(%s)" % name for name in sorted(items.sizes - listed["sizes"] - skipped)]
    wanted += ["LAYOUT_FIELD(%s, %s)" % field for field in sorted(items.fields - listed["fields"])
               if "%s.%s" % field not in skipped]
    wanted += ["LAYOUT_VALUE(%s)" % name for name in sorted(items.values - listed["values"] - skipped)]
    wanted += ["LAYOUT_HANDLER(%s)" % name
               for name in sorted(items.handlers - listed["handlers"] - skipped)]
    wanted += ["LAYOUT_HANDLER_TYPE(%s)" % name
               for name in sorted(items.handler_types - listed["handler_types"] - skipped)]
    return wanted


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("platform", type=Path, help="the platform/ folder")
    parser.add_argument("lists", type=Path, help="the folder of the lists")
    parser.add_argument("--stamp", type=Path, help="file to touch when every item is listed")
    args = parser.parse_args()

    problems = []
    for header, items in scan_platform(args.platform).items():
        list_path = args.lists / (Path(header).stem + ".inc")
        listed = listed_items(list_path) if list_path.exists() else empty_listing()
        wanted = missing_lines(items, listed)
        if wanted:
            action = "lacks" if list_path.exists() else "does not exist; create it with"
            problems.append("%s %s these lines (platform/%s declares the items):" % (list_path, action, header))
            problems += ["    " + line for line in wanted]
    if problems:
        print("The layout check does not cover all of platform/:", file=sys.stderr)
        for problem in problems:
            print("  " + problem, file=sys.stderr)
        print("LAYOUT_SCALAR(T) also checks a scalar type's signedness; LAYOUT_FIELD_AS(T, field, ddk_field)\n"
              "names a field the DDK calls otherwise; LAYOUT_SKIP(name) or LAYOUT_SKIP(T.field) leaves an\n"
              "item unchecked, with a comment saying why.", file=sys.stderr)
        sys.exit(1)
    if args.stamp:
        args.stamp.touch()


if __name__ == "__main__":
    main()
