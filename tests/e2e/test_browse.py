# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""The component's browser (driven by zeroconf_probe) against independent publishers in
another namespace: what it reports, and that it reports each thing once."""
import os
import signal
import time
import unittest

import mdnswire as w
from avahidaemon import AvahiDaemon
from netlab import HERE, PYTHON, JsonEvents, LabTestCase, Lines

PROBE = os.environ.get("ZEROCONF_PROBE", "build/tests/e2e/zeroconf_probe")
LANBEACON = os.environ.get("LANBEACON", "build/lanbeacon")
TYPE = "_printer._tcp"


class BrowseTest(LabTestCase):
    with_client = False  # the component's browser is the client here

    def browse(self, protocol="any"):
        """A fresh probe that browses; what it reports collects in self.seen."""
        self.probe = self.lab.spawn("cli", [PROBE], stdin_pipe=True)
        self.seen = JsonEvents(self.probe.stdout)
        self.probe.stdin.write("browse\t%s\t%s\n" % (TYPE, protocol))
        self.probe.stdin.flush()

    find_timeout = 6

    def wait(self, event, name, timeout=None, where=lambda e: True):
        return self.seen.wait(lambda e: e["event"] == event and e["name"] == name and where(e),
                              timeout or self.find_timeout)

    def count(self, event, name, settle=2.0):
        self.seen.wait(lambda e: False, settle)
        return sum(1 for e in self.seen.events if e["event"] == event and e["name"] == name)

    def responder(self, name, txt, host="pub", address="10.213.0.1"):
        proc = self.lab.spawn(host, [PYTHON, os.path.join(HERE, "dnssd_responder.py"), "--name", name,
                                     "--type", TYPE + ".local.", "--port", "631", "--host", "pyhost.local.",
                                     "--address", address, "--txt"] + txt)
        lines = Lines(proc.stdout)
        self.assertEqual(lines.next(10), "registered", self.lab.stderr_of(proc))
        return proc, lines

    def lanbeacon(self, name, host="pub", label="printer1"):
        return self.lab.spawn(host, [LANBEACON, name, "HP", "SN1", "laser", "false", TYPE, label])

    def test_add_update_remove_against_python_zeroconf(self):
        self.browse()
        # No dot: python-zeroconf 0.47 splits an instance name at its dots on the wire.
        name = "Büro Drucker (2 OG) ✓"
        proc, lines = self.responder(name, ["printer_name=HP", "flag", "empty="])
        added = self.wait("added", name)
        self.assertIsNotNone(added, "not found: %r" % self.seen.events)
        self.assertEqual((added["type"], added["domain"], added["host"], added["port"]),
                         (TYPE, "local", "pyhost.local", 631))
        self.assertEqual(added["ip"], "10.213.0.1")
        self.assertEqual(added["txt"], {"printer_name": "HP", "flag": "", "empty": ""})

        # A cache-flush record replaces only records older than a second (RFC 6762
        # section 10.2); a younger one counts as part of the same set.
        time.sleep(1.5)
        proc.send_signal(signal.SIGUSR1)
        self.assertEqual(lines.next(5), "updated")
        updated = self.wait("updated", name, timeout=10, where=lambda e: e["txt"].get("updated") == "1")
        self.assertIsNotNone(updated, "the TXT change was not reported: %r" % self.seen.events)

        proc.send_signal(signal.SIGTERM)
        self.assertIsNotNone(self.wait("removed", name), "the goodbye was not reported")
        self.assertEqual(self.count("added", name), 1)
        self.assertEqual(self.count("removed", name), 1)
        self.assertEqual(self.lab.stderr_of(self.probe), "")

    def test_both_ip_versions_are_one_service(self):
        self.lanbeacon("Office Printer")
        self.browse("any")
        self.assertIsNotNone(self.wait("added", "Office Printer"))
        self.assertEqual(self.count("added", "Office Printer", settle=3), 1)
        self.assertEqual(self.count("updated", "Office Printer", settle=0), 0)
        self.assertOwnStack(self.probe, own="cli" not in self.daemon_hosts)

    def test_ip_version_choice_and_link_local_scope(self):
        self.lanbeacon("Office Printer")
        for protocol, check in (("6", lambda ip: ip.startswith("fe80:") and ip.endswith("%eth0")),
                                ("4", lambda ip: ip == "10.213.0.1")):
            with self.subTest(protocol=protocol):
                self.browse(protocol)
                added = self.wait("added", "Office Printer")
                self.assertIsNotNone(added)
                self.assertTrue(check(added["ip"]), added["ip"])
                self.probe.stdin.close()
                self.probe.wait(5)

    def test_two_instances_and_avahi_publish_through_a_daemon(self):
        self.lab.add_host("pub2", 3)
        daemon = AvahiDaemon(self.lab, "pub2")
        self.addCleanup(daemon.close)
        daemon.start()
        self.browse()
        self.lanbeacon("Printer 1. OG")  # a dot inside the instance label
        published = daemon.publish("Printer Two", TYPE, 9100, ["note=via daemon"])
        one, two = self.wait("added", "Printer 1. OG"), self.wait("added", "Printer Two")
        self.assertIsNotNone(one)
        self.assertIsNotNone(two, "the daemon's service was not found: %r" % self.seen.events)
        self.assertEqual((two["host"], two["port"], two["txt"]), ("avahihost.local", 9100, {"note": "via daemon"}))
        published.send_signal(signal.SIGKILL)  # the daemon withdraws for its dead client
        self.assertIsNotNone(self.wait("removed", "Printer Two"))
        self.assertIsNone(self.wait("removed", "Printer 1. OG", timeout=1))

    def test_malformed_answers_are_skipped(self):
        self.browse()
        self.lab.add_host("rogue", 3)
        sock = self.lab.inside("rogue", lambda: w.multicast_socket("10.213.0.3"))
        self.addCleanup(sock.close)
        broken = "Broken._printer._tcp.local."
        ptr = w.rr("_printer._tcp.local.", w.PTR, w.name_bytes(broken), ttl=4500)
        for packet in (
                # a PTR to an instance whose SRV names a host nobody answers for
                w.response([ptr, w.rr(broken, w.SRV, w.srv_rdata(1, "nowhere.local."), flush=True)]),
                # a cut SRV and a TXT whose strings run past their record
                w.response([ptr, w.rr(broken, w.SRV, b"\x00\x01", flush=True),
                            w.rr(broken, w.TXT, b"\x09abc", flush=True)]),
                # a PTR whose name runs past the end
                w.response([ptr])[:-3]):
            for _ in range(3):
                sock.sendto(packet, (w.MDNS_GROUP, w.MDNS_PORT))
                time.sleep(0.1)
        self.lanbeacon("Good Printer")
        self.assertIsNotNone(self.wait("added", "Good Printer"))
        self.assertEqual(self.count("added", "Broken", settle=6), 0)
        self.assertIsNone(self.probe.poll())


class BrowseThroughDaemonTest(BrowseTest):
    """The same cases with avahi-daemon running on the browsing host, so that the
    component browses through it."""

    daemon_hosts = ("cli",)
    # A daemon just started has taken more than six seconds to report its first find on
    # a loaded machine (a sanitizer build, or the fuzzer beside it).
    find_timeout = 15

    def test_daemon_restart_keeps_what_is_still_there(self):
        self.browse()
        self.responder("Kept Printer", ["a=1"])
        gone, _ = self.responder("Gone Printer", ["b=2"])
        self.assertIsNotNone(self.wait("added", "Kept Printer"), self.seen.events)
        self.assertIsNotNone(self.wait("added", "Gone Printer"), self.seen.events)
        daemon = self.lab.daemons["cli"]
        daemon.stop()
        gone.send_signal(signal.SIGKILL)  # no goodbye, and nobody listening for one
        time.sleep(1)
        daemon.start()
        # Browsing starts over: what is not found again is removed, the rest stands.
        self.assertIsNotNone(self.wait("removed", "Gone Printer", timeout=8),
                             "a service that went during the restart is still listed: %r" % self.seen.events)
        self.assertEqual(self.count("added", "Kept Printer", settle=2), 1)
        self.assertEqual(self.count("removed", "Kept Printer", settle=0), 0)
        self.assertIsNone(self.probe.poll())
        self.assertIn("is back", self.lab.stderr_of(self.probe))


if __name__ == "__main__":
    unittest.main()
