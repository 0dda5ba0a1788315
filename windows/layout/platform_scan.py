"""Reads the declarations of platform/ headers: what layout and convention
items they declare for the Windows target, so that the build can insist each
one is checked.

Each header goes through the target's preprocessor first, so that only what
the Windows build sees counts. The rest is not a C parser: it understands
the forms platform/ headers use: typedef'd structs, unions and enums (nested
and anonymous members included), scalar and function typedefs, object-like
#define constants, and function declarations with a calling convention.
"""

import re
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

IDENTIFIER = re.compile(r"[A-Za-z_]\w*")
# NTAPI and FASTCALL, as the preprocessor leaves them.
CONVENTION = r"__attribute__\s*\(\(\s*(?:stdcall|fastcall)\s*\)\)"
LINE_MARKER = re.compile(r'^# \d+ "([^"]*)"')


@dataclass
class HeaderItems:
    """Everything one header declares that a list line can check."""
    sizes: set = field(default_factory=set)          # LAYOUT_SIZE(type)
    fields: set = field(default_factory=set)         # LAYOUT_FIELD(type, path)
    values: set = field(default_factory=set)         # LAYOUT_VALUE(name)
    handlers: set = field(default_factory=set)       # LAYOUT_HANDLER(pointer type)
    handler_types: set = field(default_factory=set)  # LAYOUT_HANDLER_TYPE(function type)
    functions: set = field(default_factory=set)      # extern functions with a convention
    positions: dict = field(default_factory=dict)    # (kind, item) to where the header declares it

    def record(self, kind, item, position):
        getattr(self, kind).add(item)
        self.positions.setdefault((kind, item), position)


def preprocessed_header(header, include_root, cxx):
    """The header's own text as the Windows build sees it, its #defines kept
    and the headers it includes left out."""
    output = subprocess.run([cxx, "-std=c++20", "-E", "-dD", "-I%s" % include_root, "-x", "c++", "-"],
                            input='#include "platform/%s"\n' % header.name, capture_output=True, text=True,
                            check=True).stdout
    own, inside = [], False
    for line in output.splitlines():
        marker = LINE_MARKER.match(line)
        if marker:
            path = Path(marker.group(1))
            inside = (path if path.is_absolute() else include_root / path).resolve() == header.resolve()
        elif inside:
            own.append(line)
    return "\n".join(own) + "\n"


def split_top_level(text, separator):
    """Splits at separator where no bracket of any kind is open."""
    parts, depth, start = [], 0, 0
    for index, char in enumerate(text):
        if char in "({[":
            depth += 1
        elif char in ")}]":
            depth -= 1
        elif char == separator and depth == 0:
            parts.append(text[start:index])
            start = index + 1
    parts.append(text[start:])
    return [part.strip() for part in parts if part.strip()]


def matching_close(text, open_index):
    pairs = {"(": ")", "{": "}", "[": "]"}
    opener, closer = text[open_index], pairs[text[open_index]]
    depth = 0
    for index in range(open_index, len(text)):
        if text[index] == opener:
            depth += 1
        elif text[index] == closer:
            depth -= 1
            if depth == 0:
                return index
    raise ValueError("unbalanced %s" % opener)


def numeric_constant(body):
    """True for a #define body that is an integer expression, casts allowed."""
    if not body or '"' in body or "'" in body or "__" in body or "static_assert" in body:
        return False
    if not re.fullmatch(r"[\w\s()|&<>+\-~*]+", body):
        return False
    return re.search(r"\b(0[xX][0-9A-Fa-f]+|\d+)[uUlL]*\b", body) is not None \
        or re.fullmatch(r"[\s()]*[A-Za-z_]\w*[\s()]*", body) is not None


def declarator_name(declarator):
    """The declared name of one member or typedef declarator, with pointer flag."""
    while "[" in declarator:
        open_bracket = declarator.index("[")
        declarator = declarator[:open_bracket] + declarator[matching_close(declarator, open_bracket) + 1:]
    if "(" in declarator:
        inner = re.search(r"\(\s*(?:%s)?\s*\*\s*([A-Za-z_]\w*)\s*\)" % CONVENTION, declarator)
        if inner:
            return inner.group(1), True
        function_type = re.search(r"\(\s*%s\s*([A-Za-z_]\w*)\s*\)" % CONVENTION, declarator)
        if function_type:
            return function_type.group(1), False
        named = re.search(r"([A-Za-z_]\w*)\s*\(", re.sub(CONVENTION, " ", declarator))
        return (named.group(1), False) if named else (None, False)
    bare = declarator.split(":")[0]
    names = IDENTIFIER.findall(bare)
    return (names[-1] if names else None), "*" in bare


def member_paths(body, prefix=""):
    """Field paths of a struct or union body, nested members included.
    Bit-fields have no offset and are left to the size of their record."""
    paths = []
    for statement in split_top_level(body, ";"):
        brace = statement.find("{")
        if brace >= 0:
            close = matching_close(statement, brace)
            inner = statement[brace + 1:close]
            after = statement[close + 1:].strip()
            name = IDENTIFIER.match(after) if after else None
            if name:
                paths.append(prefix + name.group(0))
                paths.extend(member_paths(inner, prefix + name.group(0) + "."))
            else:
                paths.extend(member_paths(inner, prefix))
            continue
        head = re.match(r"((?:const\s+|volatile\s+|struct\s+|union\s+|enum\s+|unsigned\s+|signed\s+)*[A-Za-z_]\w*)(.*)", statement, re.S)
        if not head:
            continue
        declarators = split_top_level(head.group(2), ",") if head.group(2).strip() else []
        for declarator in declarators:
            if re.search(r"(?<!:):(?!:)", re.sub(r"\(.*\)", "", declarator)):
                continue
            name, _ = declarator_name(declarator)
            if name:
                paths.append(prefix + name)
    return paths


def scan_header(text):
    """The items of one header's preprocessed text."""
    items = HeaderItems()

    for match in re.finditer(r"^\s*#\s*define\s+([A-Za-z_]\w*)(\(?)[ \t]*(.*)$", text, re.M):
        name, function_like, body = match.group(1), match.group(2), match.group(3).strip()
        if not function_like and numeric_constant(body):
            items.record("values", name, (match.start(), 0))

    # Blanked, not removed, so that positions stay those of the header.
    blank = lambda match: re.sub(r"\S", " ", match.group(0))  # noqa: E731
    code = re.sub(r"^\s*#.*$", blank, text, flags=re.M)
    code = re.sub(r'extern\s+"C"\s*\{', blank, code)

    for match in re.finditer(r"\btypedef\b", code):
        end = match.end()
        brace = code.find("{", end)
        semicolon = code.find(";", end)
        # An enum may name its underlying type: "enum _X : int {".
        kind = re.match(r"\s*(struct|union|enum)\b\s*([A-Za-z_]\w*)?\s*(?::\s*[A-Za-z_][\w\s]*)?", code[end:])
        if kind and brace >= 0 and code[end:brace].strip() == kind.group(0).strip() \
                and (semicolon < 0 or brace < semicolon):
            close = matching_close(code, brace)
            declaration_end = code.find(";", close)
            names = [declarator_name(part) for part in split_top_level(code[close + 1:declaration_end], ",")]
            plain = [name for name, pointer in names if name and not pointer]
            body = code[brace + 1:close]
            for name in plain:
                items.record("sizes", name, (match.start(), 0))
            if kind.group(1) == "enum":
                for index, enumerator in enumerate(split_top_level(body, ",")):
                    items.record("values", IDENTIFIER.match(enumerator).group(0), (match.start(), index + 1))
            elif plain:
                for index, path in enumerate(member_paths(body)):
                    items.record("fields", (plain[0], path), (match.start(), index + 1))
            continue
        statement = code[end:semicolon]
        if kind and kind.group(1) in ("struct", "union"):
            continue  # an opaque record or an alias of one: no layout of its own
        if "(" in statement:
            name, pointer = declarator_name(statement)
            if name:
                items.record("handlers" if pointer else "handler_types", name, (match.start(), 0))
            continue
        head = re.match(r"\s*((?:const\s+|volatile\s+|unsigned\s+|signed\s+)*[A-Za-z_]\w*)(.*)", statement, re.S)
        for declarator in split_top_level(head.group(2), ","):
            name, pointer = declarator_name(declarator)
            if name and not pointer:
                items.record("sizes", name, (match.start(), 0))

    for match in re.finditer(r"(%s)\s*([A-Za-z_]\w*)\s*\(" % CONVENTION, code):
        open_paren = code.index("(", match.end() - 1)
        after = code[matching_close(code, open_paren) + 1:].lstrip()
        if after.startswith(";") and not re.search(r"\b(typedef|inline)\b[^;{}]*$", code[:match.start()]):
            items.record("functions", match.group(2), (match.start(), 0))
    # The platform's C functions without a marked convention (the C run-time
    # routines the kernel exports), declared in extern "C" blocks.
    for block in re.finditer(r'extern\s+"C"\s*\{', text):
        close = matching_close(text, block.end() - 1)
        start = block.end()
        for statement in re.split(r"[;}]", text[start:close]):
            declaration = re.fullmatch(r"\s*(?!typedef\b|extern\b|inline\b|static\b)[\w\s\*]*?\b([A-Za-z_]\w*)"
                                       r"\s*\(([^(){}]*)\)\s*", statement)
            if declaration and "{" not in statement:
                items.record("functions", declaration.group(1), (start, 0))
            start += len(statement) + 1
    return items


def scan_platform(platform_dir, cxx):
    """Items of every header of platform/, by header file name, as the
    compiler cxx (the Windows target's) sees them."""
    platform_dir = Path(platform_dir).resolve()
    return {path.name: scan_header(preprocessed_header(path, platform_dir.parent, cxx))
            for path in sorted(platform_dir.glob("*.h"))}
