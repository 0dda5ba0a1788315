"""The "@layout@ <key> = <value>" lines that the layout translation units
leave in their assembly, one per checked item."""

import re

LAYOUT_LINE = re.compile(r"^\s*@layout@ (.+?) = (\S+)\s*$")


def read_layout_lines(assembly_path):
    """Key to value, in order; a key listed twice is an error."""
    lines = {}
    with open(assembly_path) as assembly:
        for line in assembly:
            match = LAYOUT_LINE.match(line)
            if not match:
                continue
            key, value = match.groups()
            if key in lines:
                raise ValueError("%s is listed twice" % key)
            lines[key] = value
    return lines
