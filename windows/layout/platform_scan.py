"""Reads the declarations of platform/ headers: what layout and convention
items they declare, so that the build can insist each one is checked.

This is not a C parser. It understands the forms platform/ headers use:
typedef'd structs, unions and enums (nested and anonymous members included),
scalar and function typedefs, object-like #define constants, and function
declarations with an explicit calling convention.
"""

import re
from dataclasses import dataclass, field
from pathlib import Path

IDENTIFIER = re.compile(r"[A-Za-z_]\w*")


@dataclass
class HeaderItems:
    """Everything one header declares that a list line can check."""
    sizes: set = field(default_factory=set)          # LAYOUT_SIZE(type)
    fields: set = field(default_factory=set)         # LAYOUT_FIELD(type, path)
    values: set = field(default_factory=set)         # LAYOUT_VALUE(name)
    handlers: set = field(default_factory=set)       # LAYOUT_HANDLER(pointer type)
    handler_types: set = field(default_factory=set)  # LAYOUT_HANDLER_TYPE(function type)
    functions: set = field(default_factory=set)      # extern functions with a convention


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def join_continued_lines(text):
    return re.sub(r"\\\n", " ", text)


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
        inner = re.search(r"\(\s*(?:NTAPI|FASTCALL)?\s*\*\s*([A-Za-z_]\w*)\s*\)", declarator)
        if inner:
            return inner.group(1), True
        function_type = re.search(r"\(\s*(?:NTAPI|FASTCALL)\s+([A-Za-z_]\w*)\s*\)", declarator)
        if function_type:
            return function_type.group(1), False
        named = re.search(r"([A-Za-z_]\w*)\s*\(", declarator)
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
    items = HeaderItems()
    text = join_continued_lines(strip_comments(text))

    for match in re.finditer(r"^\s*#\s*define\s+([A-Za-z_]\w*)(\(?)[ \t]*(.*)$", text, re.M):
        name, function_like, body = match.group(1), match.group(2), match.group(3).strip()
        if not function_like and numeric_constant(body):
            items.values.add(name)

    code = re.sub(r"^\s*#.*$", "", text, flags=re.M)
    code = re.sub(r'extern\s+"C"\s*\{', " ", code)

    for match in re.finditer(r"\btypedef\b", code):
        end = match.end()
        brace = code.find("{", end)
        semicolon = code.find(";", end)
        kind = re.match(r"\s*(struct|union|enum)\b\s*([A-Za-z_]\w*)?\s*", code[end:])
        if kind and brace >= 0 and code[end:brace].strip() == kind.group(0).strip() \
                and (semicolon < 0 or brace < semicolon):
            close = matching_close(code, brace)
            declaration_end = code.find(";", close)
            names = [declarator_name(part) for part in split_top_level(code[close + 1:declaration_end], ",")]
            plain = [name for name, pointer in names if name and not pointer]
            body = code[brace + 1:close]
            for name in plain:
                items.sizes.add(name)
            if kind.group(1) == "enum":
                for enumerator in split_top_level(body, ","):
                    items.values.add(IDENTIFIER.match(enumerator).group(0))
            elif plain:
                for path in member_paths(body):
                    items.fields.add((plain[0], path))
            continue
        statement = code[end:semicolon]
        if kind and kind.group(1) in ("struct", "union"):
            continue  # an opaque record or an alias of one: no layout of its own
        if "(" in statement:
            name, pointer = declarator_name(statement)
            if name:
                (items.handlers if pointer else items.handler_types).add(name)
            continue
        head = re.match(r"\s*((?:const\s+|volatile\s+|unsigned\s+|signed\s+)*[A-Za-z_]\w*)(.*)", statement, re.S)
        for declarator in split_top_level(head.group(2), ","):
            name, pointer = declarator_name(declarator)
            if name and not pointer:
                items.sizes.add(name)

    for match in re.finditer(r"\b(NTAPI|FASTCALL)\s+([A-Za-z_]\w*)\s*\(", code):
        open_paren = code.index("(", match.end() - 1)
        after = code[matching_close(code, open_paren) + 1:].lstrip()
        if after.startswith(";") and not re.search(r"\b(typedef|inline)\b[^;{}]*$", code[:match.start()]):
            items.functions.add(match.group(2))
    return items


def scan_platform(platform_dir):
    """Items of every header of platform/, by header file name."""
    return {path.name: scan_header(path.read_text())
            for path in sorted(Path(platform_dir).glob("*.h"))}
