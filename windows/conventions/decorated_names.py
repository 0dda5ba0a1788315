"""Decorated symbol names of 32-bit x86 Windows objects, and reading them
with nm.

A C function's name shows its calling convention and the bytes its
arguments take on the stack: _Name@12 is stdcall, @Name@12 fastcall, _Name
cdecl. C++ functions carry the same marks around their mangled name."""

import re
import subprocess
from dataclasses import dataclass


@dataclass(frozen=True)
class Decoration:
    convention: str        # "stdcall", "fastcall" or "cdecl"
    argument_bytes: int    # None for cdecl
    name: str              # the plain function name, mangling removed

    def __str__(self):
        if self.convention == "cdecl":
            return "cdecl"
        return "%s, %d argument bytes" % (self.convention, self.argument_bytes)


def plain_name(name):
    """The function's own name inside an Itanium-mangled name, else the name."""
    if not name.startswith("_Z"):
        return name
    rest = name[2:]
    if rest.startswith("L"):
        rest = rest[1:]
    nested = rest.startswith("N")
    if nested:
        rest = rest.lstrip("NKVr")
    last = name
    while rest and rest[0].isdigit():
        length = re.match(r"\d+", rest).group(0)
        start = len(length)
        last = rest[start:start + int(length)]
        rest = rest[start + int(length):]
        if not nested:
            break
    return last


def decoration(symbol):
    """How a symbol of an i386 Windows object was called, or None for
    symbols that are not functions of C or C++ (sections, imports)."""
    if symbol.startswith("@"):
        match = re.fullmatch(r"@(.+)@(\d+)", symbol)
        return Decoration("fastcall", int(match.group(2)), plain_name(match.group(1))) if match else None
    if not symbol.startswith("_"):
        return None
    body = symbol[1:]
    match = re.fullmatch(r"(.+)@(\d+)", body)
    if match:
        return Decoration("stdcall", int(match.group(2)), plain_name(match.group(1)))
    return Decoration("cdecl", None, plain_name(body))


@dataclass(frozen=True)
class Symbol:
    name: str
    kind: str      # nm's letter: T text, U undefined, I import, ...
    origin: str    # archive member or object file


def read_symbols(nm, path):
    """Every symbol of an object file or archive, as nm --portability lists it."""
    output = subprocess.run([nm, "-P", "-A", str(path)], check=True, capture_output=True,
                            text=True).stdout
    symbols = []
    for line in output.splitlines():
        origin, _, rest = line.rpartition(": ")
        fields = rest.split()
        if len(fields) >= 2:
            symbols.append(Symbol(fields[0], fields[1], origin))
    return symbols


def defined(symbols):
    return {symbol.name for symbol in symbols if symbol.kind not in ("U", "w", "v")}
