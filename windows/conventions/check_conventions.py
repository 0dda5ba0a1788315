#!/usr/bin/env python3
"""Proves the calling conventions of the Windows build from decorated names:

- each handler type of platform/ has the convention and argument bytes of
  the DDK's type of that name;
- each function platform/ declares is exported under exactly its decorated
  name by ntoskrnl.exe, hal.dll or ndis.sys (so stdcall exports are called
  as stdcall and fastcall ones as fastcall, with the right argument bytes);
- each routine of the driver that the platform calls (driver_callbacks.inc)
  has the convention of its role's type in the DDK;
- every symbol the driver's objects reference is defined by the driver, the
  import libraries or the compiler's runtime library.
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "layout"))

from decorated_names import decoration, defined, read_symbols  # noqa: E402
from layout_lines import read_layout_lines  # noqa: E402


def entries(lines, kind):
    prefix = kind + " "
    return {key[len(prefix):]: value for key, value in lines.items() if key.startswith(prefix)}


def check_handlers(reference, platform):
    problems = []
    reference_handlers = entries(reference, "handler")
    for name, symbol in entries(platform, "handler").items():
        expected = decoration(reference_handlers[name])
        actual = decoration(symbol)
        if (actual.convention, actual.argument_bytes) != (expected.convention, expected.argument_bytes):
            problems.append("handler type %s: platform/ makes it %s, the DDK %s" % (name, actual, expected))
    return problems


def exports_by_name(import_symbols):
    """Plain function name to the decorated names the import libraries export."""
    by_name = {}
    for symbol in import_symbols:
        if symbol.kind == "T":
            found = decoration(symbol.name)
            if found:
                by_name.setdefault(found.name, set()).add(symbol.name)
    return by_name


def describe_exports(symbols):
    return " or ".join("%s (%s)" % (symbol, decoration(symbol)) for symbol in sorted(symbols))


def check_imports(platform, exported, by_name):
    problems = []
    for name, symbol in entries(platform, "import").items():
        if symbol in exported:
            continue
        if name in by_name:
            problems.append("%s: platform/ declares it %s, the kernel exports %s"
                            % (name, decoration(symbol), describe_exports(by_name[name])))
        else:
            problems.append("%s: platform/ declares it, but ntoskrnl.exe, hal.dll and ndis.sys "
                            "do not export it" % name)
    return problems


def check_driver(driver_symbols, reference, exported, by_name, runtime, require_callbacks):
    problems = []
    driver_defined = defined(driver_symbols)
    for symbol in driver_symbols:
        if symbol.kind == "U" and symbol.name not in driver_defined | exported | runtime:
            found = decoration(symbol.name)
            hint = ""
            if found and found.name in by_name:
                hint = "; the kernel exports %s" % describe_exports(by_name[found.name])
            problems.append("%s references %s, which nothing defines%s" % (symbol.origin, symbol.name, hint))

    callbacks = {name: decoration(symbol) for name, symbol in entries(reference, "callback").items()}
    present = set()
    for symbol in driver_symbols:
        if symbol.kind not in ("T", "t"):
            continue
        found = decoration(symbol.name)
        if not found or found.name not in callbacks:
            continue
        present.add(found.name)
        expected = callbacks[found.name]
        if (found.convention, found.argument_bytes) != (expected.convention, expected.argument_bytes):
            problems.append("%s: %s is %s; the platform calls it as %s"
                            % (symbol.origin, found.name, found, expected))
    if require_callbacks:
        problems += ["the driver defines no %s, which the platform calls (%s)" % (name, callbacks[name])
                     for name in sorted(set(callbacks) - present)]
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reference", type=Path, required=True, help="reference.s (the DDK's side)")
    parser.add_argument("--platform", type=Path, required=True, help="platform_layout.s (platform/'s side)")
    parser.add_argument("--nm", required=True, help="the target's nm")
    parser.add_argument("--import-library", type=Path, action="append", required=True)
    parser.add_argument("--runtime-library", type=Path, action="append", default=[])
    parser.add_argument("--driver", type=Path, required=True, help="the driver's static library")
    parser.add_argument("--require-callbacks", action="store_true",
                        help="every routine of driver_callbacks.inc must exist")
    parser.add_argument("--stamp", type=Path)
    args = parser.parse_args()

    reference = read_layout_lines(args.reference)
    platform = read_layout_lines(args.platform)
    import_symbols = [symbol for library in args.import_library for symbol in read_symbols(args.nm, library)]
    exported = defined(import_symbols)
    by_name = exports_by_name(import_symbols)
    runtime = set()
    for library in args.runtime_library:
        runtime |= defined(read_symbols(args.nm, library))

    problems = check_handlers(reference, platform)
    problems += check_imports(platform, exported, by_name)
    problems += check_driver(read_symbols(args.nm, args.driver), reference, exported, by_name, runtime,
                             args.require_callbacks)
    if problems:
        print("Calling conventions do not hold:", file=sys.stderr)
        for problem in problems:
            print("  " + problem, file=sys.stderr)
        sys.exit(1)
    if args.stamp:
        args.stamp.touch()


if __name__ == "__main__":
    main()
