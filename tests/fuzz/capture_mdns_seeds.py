#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Captures real mDNS traffic as seeds for the fuzz target (corpus-mdns/).

    sudo tests/fuzz/capture_mdns_seeds.py build/lanbeacon tests/fuzz/corpus-mdns

On one link in namespaces of its own: avahi-daemon publishing a service and browsing,
python-zeroconf publishing and browsing (its queries carry known answers), and lanbeacon.
Every distinct packet heard on the group becomes a file named captured-<sha1 prefix>:
probes, announcements, queries with known answers, replies and goodbyes, as those stacks
put them on the wire. Needs root, avahi-daemon, avahi-utils, dbus and python3-zeroconf.
"""
import hashlib
import os
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import mdnswire as w  # noqa: E402
from avahidaemon import AvahiDaemon  # noqa: E402
from netlab import PYTHON, NetLab, require_root  # noqa: E402


def listen(sock, seconds, packets):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            packets.add(sock.recvfrom(9000)[0])
        except OSError:
            pass


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    require_root()
    lanbeacon, out = os.path.abspath(sys.argv[1]), sys.argv[2]
    packets = set()
    with NetLab() as lab:
        lab.add_host("obs", 1)
        lab.add_host("pyz", 2)
        lab.add_host("avahi", 3)
        lab.add_host("pub", 4)
        sock = lab.inside("obs", lambda: w.multicast_socket("10.213.0.1"))
        sock.settimeout(0.2)
        daemon = AvahiDaemon(lab, "avahi")
        daemon.start()
        procs = [
            daemon.publish("Avahi Printer", "_printer._tcp", 515, ["note=captured"]),
            lab.spawn("avahi", ["avahi-browse", "-rp", "_printer._tcp"], env=daemon.env),
            lab.spawn("pyz", [PYTHON, os.path.join(HERE, "..", "e2e", "dnssd_responder.py"), "--name",
                              "Py Printer", "--type", "_printer._tcp.local.", "--port", "631", "--host",
                              "pyhost.local.", "--address", "10.213.0.2", "--txt", "a=1", "flag"]),
            lab.spawn("pub", [lanbeacon, "Beacon Printer", "HP", "SN1", "laser", "false", "_printer._tcp",
                              "printer1"]),
        ]
        lab.spawn("pyz", [PYTHON, os.path.join(HERE, "..", "e2e", "dnssd_client.py"), "--type", "_printer._tcp.local."])
        listen(sock, 15, packets)
        for proc in procs:  # goodbyes
            proc.send_signal(signal.SIGTERM)
        listen(sock, 2, packets)
        sock.close()
        daemon.close()
    os.makedirs(out, exist_ok=True)
    for p in packets:
        with open(os.path.join(out, "captured-" + hashlib.sha1(p).hexdigest()[:12]), "wb") as f:
            f.write(p)
    print("%d distinct packets captured" % len(packets))


if __name__ == "__main__":
    main()
