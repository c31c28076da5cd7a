#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Every method and signal our interface files declare (zeroConfig/src/daemon/interfaces)
must be in avahi-daemon's installed interface files with the same arguments: the engine
calls and reads them by position. Skipped (77) where the daemon's files are not installed.

    check_interfaces.py OURS_DIR [THEIRS_DIR]"""
import glob
import os
import sys
import xml.etree.ElementTree as ET


def members(path):
    found = {}
    for interface in ET.parse(path).getroot().iter("interface"):
        for m in interface:
            if m.tag in ("method", "signal"):
                # A signal's arguments are all out, whatever the file says (or omits).
                found[(interface.get("name"), m.tag, m.get("name"))] = [
                    ("out" if m.tag == "signal" else a.get("direction", "in"), a.get("type"))
                    for a in m.findall("arg")]
    return found


ours_dir = sys.argv[1]
theirs_dir = sys.argv[2] if len(sys.argv) > 2 else "/usr/share/dbus-1/interfaces"
ours = sorted(glob.glob(os.path.join(ours_dir, "org.freedesktop.Avahi.*.xml")))
theirs = [os.path.join(theirs_dir, os.path.basename(p)) for p in ours]
if not ours:
    sys.exit(f"no interface files in {ours_dir}")
if not any(os.path.exists(p) for p in theirs):
    print(f"SKIPPED: avahi-daemon's interface files are not in {theirs_dir}: nothing to check against")
    sys.exit(77)
wrong = []
for mine, real in zip(ours, theirs):
    known = members(real) if os.path.exists(real) else {}
    for key, args in members(mine).items():
        if known.get(key) != args:
            wrong.append(f"{os.path.basename(mine)}: {key[0]} {key[1]} {key[2]}{args}: "
                         f"the daemon has {known.get(key, 'no such member')}")
    print(f"{os.path.basename(mine)}: {len(members(mine))} members checked")
print("\n".join(wrong) or "all match avahi-daemon's")
sys.exit(1 if wrong else 0)
