#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""An hour of churn against one process: do memory and descriptors stay flat?

    sudo bench/soak.py build [--minutes 60] [--daemon] [--json bench/results/soak.json]

tests/e2e/zeroconf_probe runs in a publishing namespace, embedded (or, with --daemon,
through an avahi-daemon of that namespace), while:
  - every 2 s one more QZeroConf object publishes and the oldest of six stops;
  - every 30 s an address comes to the publishing link, or goes again;
  - a browser of its own and a python-zeroconf browser in another namespace watch.
Every 10 s: VmRSS and open file descriptors of the process. Prints the samples and a
summary (first, last, largest; the change over the last half against the first half).
Needs root, Debian's python3-zeroconf (and avahi-daemon, dbus with --daemon).
"""
import argparse
import datetime
import json
import os
import platform
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from compare import stop  # noqa: E402
from netlab import Client, Lines, NetLab  # noqa: E402

TYPE = "_printer._tcp"


def status_kb(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--minutes", type=float, default=60)
    parser.add_argument("--daemon", action="store_true")
    parser.add_argument("--json", default=os.path.join(HERE, "results", "soak.json"))
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("soak.py needs root, for network namespaces")
    probe = os.path.abspath(os.path.join(args.build, "tests", "e2e", "zeroconf_probe"))
    lab = NetLab(("pub",) if args.daemon else ())
    samples = []
    try:
        lab.add_host("pub", 1)
        lab.add_host("obs", 2)
        client = Client(lab, "obs", TYPE + ".local.")
        proc = lab.spawn("pub", [probe], stdin_pipe=True)
        Lines(proc.stdout)

        def command(*words):
            proc.stdin.write("\t".join(str(w) for w in words) + "\n")
            proc.stdin.flush()

        command("browse", TYPE, "any")
        started = time.time()
        end = started + args.minutes * 60
        published, serial, next_sample, next_address, extra = [], 0, started + 10, started + 30, False
        while time.time() < end:
            serial += 1
            command("publish", "Churn %d" % serial, TYPE, "soakhost")
            published.append("Churn %d" % serial)
            if len(published) > 6:
                command("drop", published.pop(0))
            now = time.time()
            if now >= next_address:
                lab.exec_in(lab.hosts["pub"], "ip", "addr", "del" if extra else "add", "10.213.1.1/24", "dev", "eth0")
                extra, next_address = not extra, now + 30
            if now >= next_sample:
                s = {"t": round(now - started, 1), "rss_kb": status_kb(proc.pid, "VmRSS"),
                     "fds": len(os.listdir("/proc/%d/fd" % proc.pid))}
                samples.append(s)
                print("%7.1f s  RSS %6d kB  fds %3d" % (s["t"], s["rss_kb"], s["fds"]), flush=True)
                next_sample += 10
            client.wait(lambda e: False, 2)  # keeps the client's output drained
        alive = proc.poll() is None
        stop(proc)
    finally:
        lab.close()

    half = len(samples) // 2
    def mean(key, part):
        return sum(s[key] for s in part) / max(1, len(part))
    summary = {key: {"first": samples[0][key], "last": samples[-1][key], "max": max(s[key] for s in samples),
                     "second_half_minus_first_half": round(mean(key, samples[half:]) - mean(key, samples[:half]), 1)}
               for key in ("rss_kb", "fds")}
    print("\nsoak, %s, %s, %s engine, %.0f min, %d samples, still running at the end: %s" % (
        datetime.date.today(), platform.machine(), "daemon" if args.daemon else "embedded", args.minutes,
        len(samples), alive))
    for key, v in summary.items():
        print("%-6s first %s, last %s, largest %s, mean of the second half minus the first: %s" % (
            key, v["first"], v["last"], v["max"], v["second_half_minus_first_half"]))
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump({"date": str(datetime.date.today()), "minutes": args.minutes, "daemon": args.daemon,
                   "publications": serial, "summary": summary, "samples": samples}, f, indent=1)


if __name__ == "__main__":
    main()
