#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Writes a copy of one of the library's C files with some function definitions replaced
by the contents of files of ours:

    swapfunctions.py SOURCE OUTPUT FUNCTION=OURFILE [FUNCTION=OURFILE ...]

Our file takes the definition's place, so it sees everything the library's file declared
before it (its static helpers included) and may bring helpers of its own. A function not
found exactly once stops the build: a new upstream version must not go unnoticed."""

import re
import sys


def definition_end(text, brace):
    """Index just past the brace that closes the one at text[brace], skipping comments,
    strings and character literals."""
    depth, i = 0, brace
    while i < len(text):
        c = text[i]
        if text.startswith("/*", i):
            i = text.index("*/", i + 2) + 2
            continue
        if text.startswith("//", i):
            i = text.index("\n", i)
            continue
        if c in "\"'":
            i += 1
            while text[i] != c:
                i += 2 if text[i] == "\\" else 1
        elif c == "{":
            depth += 1
        elif c == "}":
            depth -= 1
            if depth == 0:
                return i + 1
        i += 1
    raise ValueError("unbalanced braces")


def span(text, function, source):
    """(start, end, line after the end) of function's definition in text."""
    # A definition starts at the beginning of a line and its parameter list is followed by
    # the body's brace; declarations end in ';' and calls are indented.
    pattern = re.compile(r"^[A-Za-z_][^;{}()\n]*\b%s\s*\([^;{}]*\)\s*\{" % re.escape(function), re.M)
    found = list(pattern.finditer(text))
    if len(found) != 1:
        sys.exit("swapfunctions: %d definitions of %s in %s, expected 1" % (len(found), function, source))
    start = found[0].start()
    end = definition_end(text, found[0].end() - 1)
    return start, end, text.count("\n", 0, end) + 1


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    source, output = sys.argv[1], sys.argv[2]
    with open(source) as f:
        text = f.read()
    swaps = []
    for pair in sys.argv[3:]:
        function, path = pair.split("=", 1)
        with open(path) as f:
            swaps.append(span(text, function, source) + (f.read(), path))
    # From the last to the first, so that the line numbers found stay those of the source
    # (the #line lines keep the compiler's messages pointing at the right file and line).
    for start, end, line, ours, path in sorted(swaps, reverse=True):
        text = '%s#line 1 "%s"\n%s\n#line %d "%s"\n%s' % (text[:start], path, ours, line, source, text[end:])
    with open(output, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
