#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Doxygen's input filter for the pages of docs/: gives every heading the anchor that a
Markdown renderer gives it (lower case, punctuation dropped, spaces as hyphens), prefixed
with the page's name so that anchors stay unique across pages, and turns the links
`page.md#anchor` and `#anchor` into those anchors. Links out of docs/ point at the
source tree, which the HTML output does not hold: they become plain text."""
import os
import re
import sys

path = sys.argv[1]
page = os.path.splitext(os.path.basename(path))[0]
pages = {os.path.splitext(f)[0] for f in os.listdir(os.path.dirname(path) or ".") if f.endswith(".md")}


def slug(title):
    title = re.sub(r"[`*]", "", title).strip().lower()
    title = re.sub(r"[^\w\- ]", "", title)
    return title.replace(" ", "-")


def link(m):
    text, target = m.group(1), m.group(2)
    name, _, anchor = target.partition("#")
    if name == "":
        return "[%s](#%s-%s)" % (text, page, anchor)
    base = os.path.splitext(name)[0]
    if name.endswith(".md") and "/" not in name and base in pages:
        return "[%s](#%s-%s)" % (text, base, anchor) if anchor else "[%s](%s)" % (text, name)
    if re.match(r"[a-z]+:", name):
        return m.group(0)
    return text


out = []
for line in open(path, encoding="utf-8"):
    line = line.rstrip("\n")
    if line.startswith("<!-- SPDX-"):
        out.append("")  # the title must come first; the line numbers stay
        continue
    if line.startswith("    ") or line.startswith("\t"):
        out.append(line)
        continue
    m = re.match(r"(#{2,6}) (.*)$", line)
    if m:
        line = "%s %s {#%s-%s}" % (m.group(1), m.group(2), page, slug(m.group(2)))
    else:
        line = re.sub(r"\[([^\]]+)\]\(([^)\s]+)\)", link, line)
    out.append(line)
sys.stdout.write("\n".join(out) + "\n")
