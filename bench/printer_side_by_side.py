#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""CUPS's ippeveprinter and the component, announcing the same IPP Everywhere printer,
as one client sees them.

    sudo bench/printer_side_by_side.py build/tests/e2e/zeroconf_probe

ippeveprinter registers through avahi-daemon on host "eve"; the component publishes from
host "pub" (its embedded responder) the types, subtypes, port and TXT entries that the
client saw from ippeveprinter. A python-zeroconf client on a third host browses every type
and subtype of the two and prints one table: what it saw of each printer, with the names,
hosts and addresses left out, and whether the two are alike.
Needs Debian's cups-ipp-utils, avahi-daemon, dbus and python3-zeroconf.
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from netlab import PYTHON, Lines, NetLab, require_root  # noqa: E402

PORT = 5853  # the probe publishes on this port; ippeveprinter is told to use it too
TYPES = ["_ipp._tcp", "_ipps._tcp", "_printer._tcp", "_pdl-datastream._tcp", "_uscan._tcp"]
SUBTYPES = ["_universal", "_print", "_cups", "_fax", "_scan"]

# Runs on the client's host: every instance of every type and subtype, as JSON lines.
OBSERVER = r'''
import json, sys, time
from zeroconf import ServiceBrowser, ServiceInfo, Zeroconf
types, subtypes = sys.argv[1].split(), sys.argv[2].split()
zc = Zeroconf()
seen = {}
def on_change(zeroconf, service_type, name, state_change):
    seen.setdefault(service_type, set()).add(name)
names = [t + ".local." for t in types] + [s + "._sub." + t + ".local." for t in types[:1] for s in subtypes]
browsers = [ServiceBrowser(zc, n, handlers=[on_change]) for n in names]
time.sleep(6)
for listed, instances in sorted(seen.items()):
    base = listed.split("._sub.", 1)[-1]
    for name in sorted(instances):
        info = ServiceInfo(base, name)
        info.request(zc, 3000)
        txt = sorted((k.decode(), (v or b"").decode("utf-8", "replace")) for k, v in info.properties.items())
        print(json.dumps({"listed": listed, "name": name[:-len(base) - 1], "port": info.port,
                          "server": info.server, "txt": txt}))
zc.close()
'''


def observe(lab):
    proc = lab.spawn("cli", [PYTHON, "-c", OBSERVER, " ".join(TYPES), " ".join(SUBTYPES)])
    out, _ = proc.communicate(timeout=120)
    import json
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")]


def main():
    require_root()
    probe = os.path.abspath(sys.argv[1])
    with NetLab(daemon_hosts=("eve",)) as lab:
        lab.add_host("eve", 1)
        lab.add_host("cli", 2)
        lab.add_host("pub", 3)
        eve = lab.spawn("eve", ["ippeveprinter", "-p", str(PORT), "-r", "_universal,_print",
                                "-M", "Example", "-m", "Printer", "-f", "application/pdf,image/pwg-raster",
                                "Eve Printer"], env=lab.daemons["eve"].env)
        time.sleep(3)
        if eve.poll() is not None:
            sys.exit("ippeveprinter ended: " + lab.stderr_of(eve))
        first = observe(lab)
        theirs = [e for e in first if e["name"] == "Eve Printer"]
        if not theirs:
            sys.exit("the client saw nothing of ippeveprinter: %r" % first)

        # The same through the component: every type seen, the subtypes it is listed
        # under, and the TXT of _ipp._tcp.
        types = sorted({e["listed"].split("._sub.", 1)[-1][:-len(".local.")] for e in theirs})
        subtypes = sorted({e["listed"].split("._sub.", 1)[0] for e in theirs if "._sub." in e["listed"]})
        txt = next(e["txt"] for e in theirs if e["listed"] == "_ipp._tcp.local.")
        pub = lab.spawn("pub", [probe], stdin_pipe=True)
        lines = Lines(pub.stdout)

        def command(*words):
            pub.stdin.write("\t".join(words) + "\n")
            pub.stdin.flush()
        command("retxt", *["%s=%s" % tuple(kv) for kv in txt])
        lines.next(5)
        ports = {e["listed"][:-len(".local.")]: e["port"] for e in theirs}
        for t in types:
            if t != "_ipp._tcp":
                command("also", t, str(ports.get(t, PORT)))
        command("start", "Our Printer", ",".join(["_ipp._tcp"] + subtypes), "ourprinter")
        if lines.next(10) != "published":
            sys.exit("the component did not publish: " + lab.stderr_of(pub))

        both = observe(lab)
        rows = {}
        for e in both:
            who = {"Eve Printer": "ippeveprinter", "Our Printer": "component"}.get(e["name"])
            if who:
                rows.setdefault(e["listed"], {})[who] = (e["port"], tuple(e["txt"]))
        print("| listed under | ippeveprinter | component | alike |")
        print("|---|---|---|---|")
        alike_all = True
        for listed in sorted(rows):
            r = rows[listed]
            a, b = r.get("ippeveprinter"), r.get("component")
            show = lambda x: "port %d, %d TXT keys" % (x[0], len(x[1])) if x else "not seen"  # noqa: E731
            alike = a == b
            alike_all &= alike
            print("| %s | %s | %s | %s |" % (listed, show(a), show(b), "yes" if alike else "no"))
        print()
        print("TXT of _ipp._tcp (ippeveprinter): " + ", ".join("%s=%s" % tuple(kv) for kv in txt))
        print("alike apart from names and addresses: %s" % ("yes" if alike_all else "no"))
        # One TXT for every type of an instance is the component's design: a type that
        # ippeveprinter announces without TXT (the _printer._tcp placeholder) differs.
        return 0 if alike_all else 1


if __name__ == "__main__":
    sys.exit(main())
