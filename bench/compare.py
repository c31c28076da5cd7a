#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Side-by-side measurement of three publishers of the same printer service.

    sudo bench/compare.py build/lanbeacon [--runs 7] [--json bench/results/compare.json]

Publishers, measured in turns in one run, each in its own pair of fresh network
namespaces (publisher and observer, on a bridge), each publishing process under a host
name of its own:
  lanbeacon           the program under test, on its embedded responder
  lanbeacon (daemon)  the same, publishing through avahi-daemon running (warm) in the
                      publishing namespace
  python-zeroconf     python-zeroconf's own responder (tests/e2e/dnssd_responder.py)
  avahi               avahi-daemon started fresh in the publishing namespace (with a
                      private D-Bus) plus avahi-publish; "warm" starts the clock at
                      avahi-publish with the daemon up, "cold" at the daemon's start

Figures (median and min-max):
  start -> resolved   until the observer (a python-zeroconf browser) holds SRV with port
                      5853, the four TXT entries and an address
  SIGTERM/SIGKILL -> removed at the observer (or never within 10 s)
  peak memory         VmHWM of every process the publisher needs; for lanbeacon also a
                      bare Qt Core+Network program (build/bench/bare_qt)
  reply latency       20 legacy unicast queries and 20 QU queries for the SRV per run
  CPU                 over 30 s idle, and during 10 s of 2000 queries a second; probes
                      sent during and after the flood, and how many were answered
Every figure comes from --runs runs per publisher (the removal times from that many
per signal), taken in turns.
Builds nothing; needs Debian's avahi-daemon, avahi-utils, dbus and python3-zeroconf.
"""
import argparse
import datetime
import json
import os
import platform
import random
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import mdnswire as w  # noqa: E402
from avahidaemon import AvahiDaemon  # noqa: E402
from netlab import PYTHON, Client, NetLab  # noqa: E402

TYPE = "_printer._tcp"
NAME = "Office Printer"
TXT = ["printer_name=Office Printer", "serial_number=SN-0042", "printer_type=laser", "secure=false"]
PUB_ADDRESS, OBSERVER_ADDRESS, FLOOD_ADDRESS = "10.213.0.1", "10.213.0.2", "10.213.0.9"
RESPONDER = os.path.join(HERE, "..", "tests", "e2e", "dnssd_responder.py")

def vm_hwm_kb(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stop(proc, signo=signal.SIGTERM):
    if proc and proc.poll() is None:
        proc.send_signal(signo)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


# ---- the publishers --------------------------------------------------------------------

class Lanbeacon:
    label = "lanbeacon"

    def __init__(self, lab, args):
        self.lab, self.args, self.proc = lab, args, None

    def prepare(self):
        pass

    def launch(self, name):
        self.proc = self.lab.spawn("pub", [self.args.lanbeacon, name, "Office Printer", "SN-0042", "laser", "false",
                                           TYPE, "lanbeacon"])
        return self.proc

    def pids(self):
        return {"lanbeacon": self.proc.pid}

    def close(self):
        stop(self.proc)


class PythonZeroconf(Lanbeacon):
    label = "python-zeroconf"

    def launch(self, name):
        self.proc = self.lab.spawn("pub", [PYTHON, RESPONDER, "--name", name, "--type", TYPE + ".local.",
                                           "--port", "5853", "--host", "pyhost.local.", "--address", PUB_ADDRESS,
                                           "--txt"] + TXT)
        return self.proc

    def pids(self):
        return {"python3": self.proc.pid}


class Avahi:
    label = "avahi"

    def __init__(self, lab, args, cold=False):
        self.lab, self.args, self.cold = lab, args, cold
        self.avahi = self.proc = None

    def prepare(self):
        self.avahi = AvahiDaemon(self.lab, "pub")
        if not self.cold:
            self.avahi.start()
            time.sleep(0.5)

    def launch(self, name):
        if self.cold:
            self.avahi.start(wait=False)
        self.proc = self.avahi.publish(name, TYPE, 5853, TXT)
        return self.proc

    def pids(self):
        return {"avahi-daemon": self.avahi.daemon.pid, "avahi-publish": self.proc.pid,
                "dbus-daemon": self.avahi.bus.pid}

    def close(self):
        stop(self.proc)
        self.avahi.close()


class LanbeaconOverDaemon(Avahi):
    label = "lanbeacon (daemon)"

    def launch(self, name):
        self.proc = self.lab.spawn("pub", [self.args.lanbeacon, name, "Office Printer", "SN-0042", "laser", "false",
                                           TYPE, "lanbeacon"], env=self.avahi.env)
        return self.proc

    def pids(self):
        return {"lanbeacon": self.proc.pid, "avahi-daemon": self.avahi.daemon.pid,
                "dbus-daemon": self.avahi.bus.pid}


PUBLISHERS = [
    ("lanbeacon", lambda lab, a: Lanbeacon(lab, a)),
    ("lanbeacon (daemon)", lambda lab, a: LanbeaconOverDaemon(lab, a)),
    ("python-zeroconf", lambda lab, a: PythonZeroconf(lab, a)),
    ("avahi (warm)", lambda lab, a: Avahi(lab, a)),
    ("avahi (cold)", lambda lab, a: Avahi(lab, a, cold=True)),
]


def new_lab(observer=True):
    lab = NetLab()
    lab.add_host("pub", 1)
    lab.add_host("obs", 2)
    client = Client(lab, "obs", TYPE + ".local.") if observer else None
    return lab, client


def complete(event):
    return event["port"] == 5853 and event["txt"] == TXT and event["addresses"]


# ---- one timing run: start -> resolved, memory, SIGTERM or SIGKILL -> removed -------------

def timing_run(make, args, index, kill_signal):
    lab, client = new_lab()
    publisher = make(lab, args)
    result = {}
    try:
        publisher.prepare()
        name = "%s %d" % (NAME, index)
        started = time.time()
        proc = publisher.launch(name)
        seen = client.resolved(name, 15, where=complete)
        result["resolved"] = None if seen is None else seen["t"] - started
        if seen is None:
            return result
        time.sleep(1.0)
        result["memory_kb"] = {k: vm_hwm_kb(pid) for k, pid in publisher.pids().items()}
        sent = time.time()
        proc.send_signal(kill_signal)
        gone = client.removed(name, 10)
        result["removed"] = None if gone is None else gone["t"] - sent
    finally:
        publisher.close()
        lab.close()
    return result


# ---- one load run: reply latency, idle CPU, flood CPU, probes ------------------------------

def latency(lab, full, unicast_response):
    make = (lambda: w.multicast_socket(OBSERVER_ADDRESS)) if unicast_response else \
        (lambda: w.unicast_socket(OBSERVER_ADDRESS))
    sock = lab.inside("obs", make)
    times = []
    try:
        for i in range(20):
            ident = 0 if unicast_response else random.randrange(1, 65536)
            sock.settimeout(1.0)
            packet = w.query(full, w.SRV, ident=ident, unicast_response=unicast_response)
            sent = time.time()
            sock.sendto(packet, (w.MDNS_GROUP, w.MDNS_PORT))
            while time.time() - sent < 1.0:
                try:
                    data, _ = sock.recvfrom(9000)
                    reply = w.parse(data)
                except (OSError, w.Malformed):
                    break
                if any(r["type"] == w.SRV and r["name"] == full for r in reply["answers"]):
                    times.append(time.time() - sent)
                    break
            time.sleep(0.25 + random.random() * 0.1)
    finally:
        sock.close()
    return times


def probe_answered(sock, full):
    """A QU probe for the name: does the owner defend it within 500 ms?"""
    claim = w.rr(full, w.SRV, w.srv_rdata(1, "prober.local."))
    sent = time.time()
    sock.sendto(w.query(full, w.ANY, unicast_response=True, authority=[claim]), (w.MDNS_GROUP, w.MDNS_PORT))
    while time.time() - sent < 0.5:
        sock.settimeout(max(0.5 - (time.time() - sent), 0.01))
        try:
            reply = w.parse(sock.recvfrom(9000)[0])
        except (OSError, w.Malformed):
            return False
        if reply["flags"] & 0x8000 and any(r["name"] == full for r in reply["answers"]):
            return True
    return False


def load_run(make, args):
    lab, _ = new_lab(observer=False)
    publisher = make(lab, args)
    out = {}
    try:
        publisher.prepare()
        name = NAME + " L"
        full = "%s.%s.local." % (name, TYPE)
        publisher.launch(name)
        asker = lab.inside("obs", lambda: w.unicast_socket(OBSERVER_ADDRESS))
        deadline = time.time() + 15
        while time.time() < deadline and w.ask(asker, w.query(full, w.SRV, ident=1), (w.MDNS_GROUP, 5353), 0.3)[0] is None:
            pass
        asker.close()
        time.sleep(3)  # past the announcements
        out["legacy_ms"] = [t * 1000 for t in latency(lab, full, False)]
        out["qu_ms"] = [t * 1000 for t in latency(lab, full, True)]

        pids = publisher.pids()
        before = {k: cpu_seconds(p) for k, p in pids.items()}
        time.sleep(args.idle)
        out["idle_cpu_s"] = {k: cpu_seconds(p) - before[k] for k, p in pids.items()}

        # The flood comes from an address of its own, so that the answers to the probes
        # (QU, from port 5353; a defence may come by unicast or by multicast) reach the
        # prober's socket and not the flooder's.
        lab.exec_in(lab.hosts["obs"], "ip", "addr", "add", FLOOD_ADDRESS + "/24", "dev", "eth0")
        flooder = lab.inside("obs", lambda: w.multicast_socket(FLOOD_ADDRESS, listen=False))
        prober = lab.inside("obs", lambda: w.multicast_socket(OBSERVER_ADDRESS))
        flood = w.query(TYPE + ".local.", w.PTR)
        before = {k: cpu_seconds(p) for k, p in pids.items()}
        started, sent, during = time.time(), 0, []
        next_probe = started + 1.0
        while time.time() - started < args.flood_seconds:
            target = int((time.time() - started) * args.flood_rate)
            while sent < target:
                flooder.sendto(flood, (w.MDNS_GROUP, w.MDNS_PORT))
                sent += 1
            if time.time() >= next_probe:
                during.append(probe_answered(prober, full))
                next_probe += 2.0
            time.sleep(0.002)
        elapsed = time.time() - started
        out["flood_cpu_s"] = {k: cpu_seconds(p) - before[k] for k, p in pids.items()}
        out["flood_rate"] = sent / elapsed
        out["probes_during"] = [sum(during), len(during)]
        time.sleep(1.0)
        after = [probe_answered(prober, full) for _ in range(5) if time.sleep(0.3) is None]
        out["probes_after"] = [sum(after), len(after)]
        for s in (flooder, prober):
            s.close()
    finally:
        publisher.close()
        lab.close()
    return out


def bare_qt_kb(args, lab_host_lab=None):
    lab = NetLab()
    try:
        lab.add_host("pub", 1)
        proc = lab.spawn("pub", [args.bare_qt])
        time.sleep(1.0)
        return vm_hwm_kb(proc.pid)
    finally:
        lab.close()


# ---- report ------------------------------------------------------------------------------

def summary(values, unit="s", scale=1.0, digits=3):
    values = [v for v in values if v is not None]
    if not values:
        return "n/a"
    fmt = "%%.%df" % digits
    med, lo, hi = (fmt % (statistics.median(values) * scale), fmt % (min(values) * scale),
                   fmt % (max(values) * scale))
    return "%s %s (%s-%s)" % (med, unit, lo, hi)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("lanbeacon")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--idle", type=float, default=30.0)
    parser.add_argument("--flood-seconds", type=float, default=10.0)
    parser.add_argument("--flood-rate", type=float, default=2000.0)
    parser.add_argument("--bare-qt")
    parser.add_argument("--json", default=os.path.join(HERE, "results", "compare.json"))
    parser.add_argument("--only", help="comma-separated publisher labels to measure (default: all)")
    args = parser.parse_args()
    if args.only:
        wanted = set(args.only.split(","))
        PUBLISHERS[:] = [p for p in PUBLISHERS if p[0] in wanted]
        if not PUBLISHERS:
            sys.exit("--only names no known publisher")
    if os.geteuid() != 0:
        sys.exit("compare.py needs root, for network namespaces")
    args.lanbeacon = os.path.abspath(args.lanbeacon)
    args.bare_qt = os.path.abspath(args.bare_qt or os.path.join(os.path.dirname(args.lanbeacon), "bench", "bare_qt"))

    results = {label: {"timing": []} for label, _ in PUBLISHERS}
    # In turns: run i of every publisher before run i+1 of any.
    for i in range(args.runs):
        for label, make in PUBLISHERS:
            kill = signal.SIGTERM if i % 2 == 0 else signal.SIGKILL
            r = timing_run(make, args, i, kill)
            r["signal"] = kill.name
            results[label]["timing"].append(r)
            print("run %d %-16s resolved %s, %s -> removed %s" % (
                i + 1, label, "%.3f" % r["resolved"] if r.get("resolved") else "never",
                kill.name, "%.3f" % r["removed"] if r.get("removed") is not None else "never"), flush=True)
    # The kill signal alternates; add runs so that each signal has at least `runs`.
    for i in range(args.runs, 2 * args.runs):
        for label, make in PUBLISHERS:
            if label == "avahi (cold)":
                continue
            kill = signal.SIGTERM if i % 2 == 0 else signal.SIGKILL
            r = timing_run(make, args, i, kill)
            r["signal"] = kill.name
            results[label]["timing"].append(r)
            print("run %d %-16s %s -> removed %s" % (i + 1, label, kill.name, "%.3f" % r["removed"]
                                                      if r.get("removed") is not None else "never"), flush=True)
    loaded = [(label, make) for label, make in PUBLISHERS if label != "avahi (cold)"]
    for i in range(args.runs):
        for label, make in loaded:
            r = load_run(make, args)
            results[label].setdefault("loads", []).append(r)
            print("load %d %-16s idle %s, flood %s (%.0f q/s), probes %s/%s" % (
                i + 1, label, sum(r["idle_cpu_s"].values()), sum(r["flood_cpu_s"].values()), r["flood_rate"],
                r["probes_during"], r["probes_after"]), flush=True)
    bare = bare_qt_kb(args)

    rows = []
    for label, _ in PUBLISHERS:
        timing, loads = results[label]["timing"], results[label].get("loads", [])
        row = {"publisher": label, "resolved": summary([r.get("resolved") for r in timing])}
        if label != "avahi (cold)":
            for signo in ("SIGTERM", "SIGKILL"):
                removed = [r.get("removed") for r in timing if r["signal"] == signo]
                never = sum(1 for r in removed if r is None)
                row[signo] = summary(removed, "s") + (" (never in 10 s: %d of %d)" % (never, len(removed)) if never else "")
            mem = [r["memory_kb"] for r in timing if "memory_kb" in r]
            row["memory"] = ", ".join("%s %s" % (k, summary([m[k] for m in mem], "MB", 1 / 1024.0, 1))
                                      for k in mem[0]) if mem else "n/a"
            for key, field in (("legacy", "legacy_ms"), ("qu", "qu_ms")):
                pooled = [t for load in loads for t in load[field]]
                row[key] = summary(pooled, "ms", 1.0, 2) + " [%d/%d answered]" % (len(pooled), 20 * len(loads))
            for key, field in (("idle_cpu", "idle_cpu_s"), ("flood_cpu", "flood_cpu_s")):
                row[key] = summary([sum(load[field].values()) for load in loads], "s", 1.0, 2)
            during = [sum(x) for x in zip(*[load["probes_during"] for load in loads])]
            after = [sum(x) for x in zip(*[load["probes_after"] for load in loads])]
            row["probes"] = "during %d/%d, after %d/%d" % tuple(during + after)
        rows.append(row)

    print()
    print("lanbeacon benchmark, %s, %s, %d cores, %s" % (datetime.date.today(), platform.machine(), os.cpu_count(),
                                                        platform.platform()))
    keys = [("resolved", "start -> resolved"), ("SIGTERM", "SIGTERM -> removed"), ("SIGKILL", "SIGKILL -> removed"),
            ("memory", "peak memory (VmHWM)"), ("legacy", "legacy unicast reply"), ("qu", "QU reply"),
            ("idle_cpu", "CPU, %d s idle (all processes)" % args.idle),
            ("flood_cpu", "CPU, %d s of %d q/s (all processes)" % (args.flood_seconds, args.flood_rate)),
            ("probes", "probes answered")]
    print("| | " + " | ".join(r["publisher"] for r in rows) + " |")
    print("|---" * (len(rows) + 1) + "|")
    for key, title in keys:
        print("| %s | %s |" % (title, " | ".join(r.get(key, "") for r in rows)))
    print("| bare Qt Core+Network program | %.1f MB |%s" % (bare / 1024.0, " |" * (len(rows) - 1)))
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump({"date": str(datetime.date.today()), "machine": platform.platform(), "cores": os.cpu_count(),
                   "runs": args.runs, "bare_qt_kb": bare, "rows": rows, "raw": results}, f, indent=1)
    print("\nraw figures: %s" % args.json)


if __name__ == "__main__":
    main()
