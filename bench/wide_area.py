#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Wide-area registration, timed at the server: from starting lanbeacon until BIND
answers for the printer's SRV record, and from SIGTERM until it no longer does.

    sudo bench/wide_area.py build/lanbeacon [--runs 10]

Each run builds a fresh test network with a BIND of its own (tests/e2e/bindlab.py:
generated zone, tsig-keygen key, the publishing host's resolver pointing there). A
poller inside the server's namespace asks the server over loopback every millisecond
(its update log is no clock to use: named stamps it from a cached loop time). Prints
each run and the median, minimum and maximum of each figure.
"""
import argparse
import os
import random
import signal
import socket
import statistics
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from bindlab import ZONE, BindServer  # noqa: E402
from netlab import NetLab  # noqa: E402

INSTANCE = ["Office Printer", "_printer", "_tcp"] + ZONE.rstrip(".").split(".")
SRV = 33


def srv_query():
    qid = random.randrange(0x10000)
    name = b"".join(bytes([len(l.encode())]) + l.encode() for l in INSTANCE) + b"\0"
    return qid, struct.pack(">HHHHHH", qid, 0, 1, 0, 0, 0) + name + struct.pack(">HH", SRV, 1)


def wait_until(sock, server, present, timeout=5):
    """The time at which the server's answer first says present (or not), else None."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        qid, query = srv_query()
        sock.sendto(query, (server, 53))
        try:
            while True:
                reply = sock.recv(4096)
                if struct.unpack(">H", reply[:2])[0] == qid:
                    break
        except socket.timeout:
            continue
        answers = struct.unpack(">H", reply[6:8])[0]
        if (answers > 0) == present:
            return time.time()
        time.sleep(0.001)
    return None


def one_run(lanbeacon):
    with NetLab() as lab:
        lab.add_host("pub", 1)
        dns = BindServer(lab)
        try:
            dns.start()
            sock = lab.inside("dns", lambda: socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
            sock.settimeout(0.2)
            lab.set_resolv_conf(lab.hosts["pub"], "search %s\nnameserver %s\n" % (ZONE, dns.address))
            env = dict(lab.env_of("pub"), QZEROCONF_TSIG_KEYFILE=dns.key_file)
            started = time.time()
            proc = lab.spawn("pub", [lanbeacon, "Office Printer", "HP", "SN-1", "laser", "false",
                                     "_printer._tcp", "printer1"], env=env)
            added = wait_until(sock, dns.address, True)
            if added is None:
                print("lanbeacon said: " + lab.stderr_of(proc))
            time.sleep(0.2)
            sent = time.time()
            proc.send_signal(signal.SIGTERM)
            deleted = wait_until(sock, dns.address, False)
            proc.wait(5)
            sock.close()
            return (None if added is None else added - started, None if deleted is None else deleted - sent)
        finally:
            dns.close()


def summary(label, values):
    if values:
        print("%s over %d runs: median %.3f s, min %.3f s, max %.3f s"
              % (label, len(values), statistics.median(values), min(values), max(values)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("lanbeacon")
    parser.add_argument("--runs", type=int, default=10)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root, for network namespaces")
    lanbeacon = os.path.abspath(args.lanbeacon)
    registered, removed = [], []
    for i in range(args.runs):
        up, down = one_run(lanbeacon)
        show = lambda t: "never" if t is None else "%.3f s" % t
        print("run %2d: start -> registered %s, SIGTERM -> removed %s" % (i + 1, show(up), show(down)), flush=True)
        registered += [up] if up is not None else []
        removed += [down] if down is not None else []
    summary("start -> registered", registered)
    summary("SIGTERM -> removed", removed)
    if len(registered) != args.runs or len(removed) != args.runs:
        sys.exit(1)


if __name__ == "__main__":
    main()
