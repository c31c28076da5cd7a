#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Time from starting lanbeacon to the moment an independent client on another host
holds the service resolved: SRV with the port, all TXT entries and an address.

    sudo bench/start_to_resolved.py build/lanbeacon [--runs 10]

Each run builds a fresh pair of network namespaces (so that no cache carries over),
starts the client, then lanbeacon, and ends lanbeacon with SIGTERM. Prints each run
and the median, minimum and maximum.
"""
import argparse
import os
import signal
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from netlab import Client, NetLab  # noqa: E402


def one_run(lanbeacon, index):
    with NetLab() as lab:
        lab.add_host("pub", 1)
        lab.add_host("cli", 2)
        client = Client(lab, "cli", "_printer._tcp.local.")
        name = "Office Printer %d" % index
        started = time.time()
        proc = lab.spawn("pub", [lanbeacon, name, "Office Printer", "SN-1", "laser", "false",
                                 "_printer._tcp", "printer1"])
        seen = client.resolved(name, 10, where=lambda e: e["port"] == 5853 and len(e["txt"]) == 4)
        proc.send_signal(signal.SIGTERM)
        proc.wait(5)
        return None if seen is None else seen["t"] - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("lanbeacon")
    parser.add_argument("--runs", type=int, default=10)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root, for network namespaces")
    lanbeacon = os.path.abspath(args.lanbeacon)
    times = []
    for i in range(args.runs):
        t = one_run(lanbeacon, i)
        print("run %2d: %s" % (i + 1, "not resolved within 10 s" if t is None else "%.3f s" % t), flush=True)
        if t is not None:
            times.append(t)
    if times:
        print("start -> resolved over %d runs: median %.3f s, min %.3f s, max %.3f s"
              % (len(times), statistics.median(times), min(times), max(times)))
    if len(times) != args.runs:
        sys.exit(1)


if __name__ == "__main__":
    main()
