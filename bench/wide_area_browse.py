#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Wide-area browsing, timed at the client: from startBrowser() until all of N instances
in one domain are resolved, against `avahi-browse -d DOMAIN -r` through an avahi-daemon
that asks the same server.

    sudo bench/wide_area_browse.py build/tests/e2e/zeroconf_probe [--runs 5] [--instances 100]

Each run builds a fresh test network with a BIND of its own (tests/e2e/bindlab.py), puts N
instances into example.test with nsupdate (PTR, SRV, a small TXT, one shared target with an
A record; TTL 60), and points the client host's resolver at it. Our side is the e2e probe
(QZeroConf::setBrowseDomains() with the domain, then startBrowser()), timed from the browse
command to the Nth serviceAdded. avahi-daemon is started in the client's namespace only,
with a private bus and /run (tests/e2e/avahidaemon.py), and avahi-browse is timed from its
start to the Nth resolved line. Prints each run (how many were resolved, and when the
last was, or when it gave up) and the median, minimum and maximum of the complete runs.
avahi-daemon 0.8 does not ask again over TCP when a unicast answer comes back truncated:
of 100 instances it resolves the 18 whose PTRs fit in 512 bytes; --instances 10 stays
under that limit.
"""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from avahidaemon import AvahiDaemon  # noqa: E402
from bindlab import ZONE, BindServer  # noqa: E402
from netlab import JsonEvents, Lines, NetLab  # noqa: E402

DOMAIN = ZONE.rstrip(".")


def fill(dns, count):
    lines = ["update add lp.%s 60 A 10.213.0.77" % ZONE]
    for i in range(count):
        instance = "Printer\\032%03d._printer._tcp.%s" % (i, ZONE)
        lines += ["update add _printer._tcp.%s 60 PTR %s" % (ZONE, instance),
                  "update add %s 60 SRV 0 0 631 lp.%s" % (instance, ZONE),
                  'update add %s 60 TXT "rp=queue%d"' % (instance, i)]
    dns.nsupdate("\n".join(lines))


def ours(lab, probe_path, count, timeout):
    probe = lab.spawn("cli", [probe_path], stdin_pipe=True)
    events = JsonEvents(probe.stdout)
    probe.stdin.write("gap\n")  # answered once the probe's event loop runs
    probe.stdin.flush()
    events.wait(lambda e: e["event"] == "gap", 10)
    started = time.time()
    probe.stdin.write("domains\t%s\nbrowse\t_printer._tcp\tany\n" % DOMAIN)
    probe.stdin.flush()
    found = set()
    events.wait(lambda e: e["event"] == "added" and e["domain"] == DOMAIN and
                (found.add(e["name"]) or len(found) == count), timeout)
    probe.kill()
    return time.time() - started, len(found)


def avahi(lab, count, timeout):
    daemon = AvahiDaemon(lab, "cli", "browser", wide_area=True)
    lab.daemons["cli"] = daemon
    daemon.start()
    started = time.time()
    browse = lab.spawn("cli", ["avahi-browse", "-d", DOMAIN, "-r", "-p", "_printer._tcp"], env=daemon.env)
    lines, found = Lines(browse.stdout), set()
    deadline = started + timeout
    while len(found) < count and time.time() < deadline:
        line = lines.next(deadline - time.time())
        if line and line.startswith("="):
            found.add(line.split(";")[3])
    browse.kill()
    return time.time() - started, len(found)


def one_run(side, probe, count, timeout):
    with NetLab() as lab:
        lab.add_host("cli", 2)
        dns = BindServer(lab)
        try:
            dns.start()
            fill(dns, count)
            lab.set_resolv_conf(lab.hosts["cli"], "search %s\nnameserver %s\n" % (ZONE, dns.address))
            return ours(lab, probe, count, timeout) if side == "ours" else avahi(lab, count, timeout)
        finally:
            dns.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("probe", help="build/tests/e2e/zeroconf_probe")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--instances", type=int, default=100)
    parser.add_argument("--timeout", type=float, default=60)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root, for network namespaces")
    probe = os.path.abspath(args.probe)
    failed = False
    for side in ("ours", "avahi-browse"):
        times = []
        for i in range(args.runs):
            t, found = one_run(side, probe, args.instances, args.timeout)
            print("%-12s run %2d: %d of %d instances resolved after %.3f s"
                  % (side, i + 1, found, args.instances, t), flush=True)
            times += [t] if found == args.instances else []
        failed |= len(times) != args.runs
        if times:
            print("%-12s over %d runs: median %.3f s, min %.3f s, max %.3f s"
                  % (side, len(times), statistics.median(times), min(times), max(times)), flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
