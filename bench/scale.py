#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Many services from one process: 1 to 1000 services of one type, side by side.

    sudo bench/scale.py build [--runs 3] [--counts 1,10,200,500,1000] [--json bench/results/scale.json]

Publishers, in turns, each run on a fresh pair of namespaces (publisher and observer):
  lanbeacon           tests/e2e/zeroconf_probe: N QZeroConf objects in one process,
                      published in one turn of the event loop, embedded responder
  lanbeacon (daemon)  the same through avahi-daemon (started, warm, in the publishing
                      namespace with a private D-Bus and /run)
  python-zeroconf     one AsyncZeroconf, the N services registered at once
                      (bench/pyzc_many.py)
  avahi-daemon        the daemon alone, the N services as static service files, timed
                      from the daemon's start
Figures per run, median (min-max) over --runs:
  all resolved    from the start of the publishing process until the observer (a
                  python-zeroconf browser) has resolved every one of the N services
  CPU             user+system time of the publishing process(es) in the first 6 s, or
                  until all were resolved (or given up on, after 40 s) when that is later
                  (for lanbeacon (daemon): its own, and the daemon's)
  VmHWM           peak memory of the publishing process(es)
  mDNS sockets    UDP sockets on port 5353 that the publishing process holds
  probes/service  probe questions (queries with an authority section) for the N names
                  that the observer saw over IPv4 in the first 25 s (or until all were
                  resolved, when later), divided by N: 3 when
                  every name is probed once, more when probing is torn down and redone
Builds nothing; needs root and Debian's avahi-daemon, dbus and python3-zeroconf.
"""
import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import mdnswire as w  # noqa: E402
from avahidaemon import AvahiDaemon  # noqa: E402
from compare import cpu_seconds, stop, vm_hwm_kb  # noqa: E402
from netlab import PYTHON, Client, Lines, NetLab, mdns_sockets  # noqa: E402

TYPE = "_printer._tcp"
PREFIX = "Queue"
TXT = ["printer_name=Office Printer", "serial_number=SN-0042", "printer_type=laser", "secure=false"]
WINDOW = 6.0  # seconds of CPU counted from the start
SERVICE_FILE = """<?xml version="1.0" standalone='no'?>
<!DOCTYPE service-group SYSTEM "avahi-service.dtd">
<service-group><name>%s</name><service><type>%s</type><port>5853</port>%s</service></service-group>
"""


class Probe:
    """N services from zeroconf_probe, embedded or (with daemon) through avahi-daemon."""

    def __init__(self, lab, args, daemon=False):
        self.lab, self.args, self.daemon = lab, args, daemon
        self.avahi = self.proc = None

    def prepare(self, count):
        if self.daemon:
            self.avahi = AvahiDaemon(self.lab, "pub")
            self.avahi.start()
            time.sleep(0.5)

    def launch(self, count):
        env = self.avahi.env if self.avahi else None
        self.proc = self.lab.spawn("pub", [self.args.probe], stdin_pipe=True, env=env)
        self.proc.stdin.write("txt\t%s\nmany\t%d\t%s\t%s\tprintserver\n" % ("\t".join(TXT), count, PREFIX, TYPE))
        self.proc.stdin.flush()
        # A line per service: unread, they fill the pipe and stop the publisher.
        Lines(self.proc.stdout)
        return self.proc

    def pids(self):
        pids = {"lanbeacon": self.proc.pid}
        if self.avahi:
            pids["avahi-daemon"] = self.avahi.daemon.pid
        return pids

    def close(self):
        stop(self.proc)
        if self.avahi:
            self.avahi.close()


class PythonZeroconf(Probe):
    def launch(self, count):
        self.proc = self.lab.spawn("pub", [PYTHON, os.path.join(HERE, "pyzc_many.py"), "--count", str(count),
                                           "--prefix", PREFIX, "--type", TYPE + ".local.", "--host",
                                           "pyhost.local.", "--address", "10.213.0.1", "--txt"] + TXT)
        return self.proc

    def pids(self):
        return {"python3": self.proc.pid}


class StaticAvahi(AvahiDaemon):
    """avahi-daemon with its services directory replaced by one of ours."""

    def __init__(self, lab, host, services):
        super().__init__(lab, host)
        self.services = services

    def start(self, wait=True):
        self.daemon = self.lab.spawn(self.host, [
            "unshare", "-m", "sh", "-c",
            "mount -t tmpfs tmpfs /run && mkdir /run/avahi-daemon && mount --bind %s /etc/avahi/services && "
            "exec avahi-daemon -f %s/avahi.conf --no-drop-root --no-chroot --no-rlimits"
            % (self.services, self.dir)], env=self.env)
        return self.daemon


class AvahiAlone(Probe):
    def prepare(self, count):
        self.services = tempfile.mkdtemp(prefix="lanbeacon-services-")
        txt = "".join("<txt-record>%s</txt-record>" % t for t in TXT)
        for i in range(1, count + 1):
            with open(os.path.join(self.services, "q%d.service" % i), "w") as f:
                f.write(SERVICE_FILE % ("%s %d" % (PREFIX, i), TYPE, txt))
        self.avahi = StaticAvahi(self.lab, "pub", self.services)

    def launch(self, count):
        self.proc = self.avahi.start()
        return self.proc

    def pids(self):
        return {"avahi-daemon": self.proc.pid}

    def close(self):
        self.avahi.close()
        shutil.rmtree(self.services, ignore_errors=True)


PUBLISHERS = [
    ("lanbeacon", lambda lab, a: Probe(lab, a)),
    ("lanbeacon (daemon)", lambda lab, a: Probe(lab, a, daemon=True)),
    ("python-zeroconf", lambda lab, a: PythonZeroconf(lab, a)),
    ("avahi-daemon", lambda lab, a: AvahiAlone(lab, a)),
]


class ProbeCounter:
    """Counts the probe questions for the services' names that reach the observer."""

    def __init__(self, lab):
        self.sock = lab.inside("obs", lambda: w.multicast_socket("10.213.0.2"))
        self.sock.settimeout(0.2)
        self.count = 0
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        suffix = "." + TYPE + ".local."
        while self.running:
            try:
                p = w.parse(self.sock.recvfrom(9000)[0])
            except (OSError, w.Malformed):
                continue
            if not p["flags"] & 0x8000 and p["authority"]:
                self.count += sum(1 for name, _, _ in p["questions"] if name.startswith(PREFIX + " ")
                                  and name.endswith(suffix))

    def close(self):
        self.running = False
        self.thread.join(1)
        self.sock.close()
        return self.count


def run(make, args, count):
    lab = NetLab()
    result = {}
    publisher = counter = None
    try:
        lab.add_host("pub", 1)
        lab.add_host("obs", 2)
        client = Client(lab, "obs", TYPE + ".local.")
        counter = ProbeCounter(lab)
        publisher = make(lab, args)
        publisher.prepare(count)
        left = {"%s %d" % (PREFIX, i) for i in range(1, count + 1)}
        started = time.time()
        proc = publisher.launch(count)
        last = client.wait(lambda e: e["event"] == "resolved" and e["txt"] == TXT and e["addresses"]
                           and left.discard(e["name"]) is None and not left, 40)
        result["resolved"] = None if last is None else last["t"] - started
        result["missing"] = len(left)
        time.sleep(max(0.0, started + WINDOW - time.time()))
        pids = publisher.pids()
        result["cpu_s"] = {k: cpu_seconds(p) for k, p in pids.items()}
        result["memory_kb"] = {k: vm_hwm_kb(p) for k, p in pids.items()}
        result["sockets"] = mdns_sockets(proc.pid)
        time.sleep(max(0.0, started + 25 - time.time()))
        result["probes_per_service"] = counter.close() / float(count)
        counter = None
    finally:
        if counter:
            counter.close()
        if publisher:
            publisher.close()
        lab.close()
    return result


def summary(values, unit, scale=1.0, digits=2):
    values = [v for v in values if v is not None]
    if not values:
        return "n/a"
    fmt = "%%.%df" % digits
    return "%s %s (%s-%s)" % (fmt % (statistics.median(values) * scale), unit, fmt % (min(values) * scale),
                              fmt % (max(values) * scale))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", help="the build tree (holds tests/e2e/zeroconf_probe)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--counts", default="1,10,200,500,1000")
    parser.add_argument("--only", help="comma-separated publisher labels to measure (default: all)")
    parser.add_argument("--json", default=os.path.join(HERE, "results", "scale.json"))
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("scale.py needs root, for network namespaces")
    args.probe = os.path.abspath(os.path.join(args.build, "tests", "e2e", "zeroconf_probe"))
    publishers = [p for p in PUBLISHERS if not args.only or p[0] in args.only.split(",")]
    counts = [int(c) for c in args.counts.split(",")]

    raw = {}
    for count in counts:
        for i in range(args.runs):
            for label, make in publishers:
                r = run(make, args, count)
                raw.setdefault("%d %s" % (count, label), []).append(r)
                print("%3d services, run %d, %-18s resolved %s (%d missing), cpu %s, sockets %d, probes/service %.1f" % (
                    count, i + 1, label, "%.3f" % r["resolved"] if r["resolved"] else "never", r["missing"],
                    {k: round(v, 2) for k, v in r["cpu_s"].items()}, r["sockets"], r["probes_per_service"]),
                    flush=True)

    print()
    print("scale benchmark, %s, %s, %d cores, %s, %d runs" % (datetime.date.today(), platform.machine(),
                                                             os.cpu_count(), platform.platform(), args.runs))
    print("| services | publisher | all resolved after | CPU in the first %d s | VmHWM | mDNS sockets | probes/service |"
          % WINDOW)
    print("|---|---|---|---|---|---|---|")
    for count in counts:
        for label, _ in publishers:
            runs = raw["%d %s" % (count, label)]
            never = sum(1 for r in runs if r["resolved"] is None)
            keys = list(runs[0]["cpu_s"])
            cpu = ", ".join("%s%s" % ("" if len(keys) == 1 else k + " ", summary([r["cpu_s"][k] for r in runs], "s"))
                            for k in keys)
            mem = ", ".join("%s%s" % ("" if len(keys) == 1 else k + " ",
                                      summary([r["memory_kb"][k] for r in runs], "MB", 1 / 1024.0, 1)) for k in keys)
            print("| %d | %s | %s%s | %s | %s | %s | %s |" % (
                count, label, summary([r["resolved"] for r in runs], "s", 1.0, 3),
                " (never: %d of %d)" % (never, len(runs)) if never else "", cpu, mem,
                "/".join(sorted({str(r["sockets"]) for r in runs})),
                summary([r["probes_per_service"] for r in runs], "", 1.0, 1)))
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump({"date": str(datetime.date.today()), "machine": platform.platform(), "runs": args.runs,
                   "raw": raw}, f, indent=1)
    print("\nraw figures: %s" % args.json)


if __name__ == "__main__":
    main()
