# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""lanbeacon in one namespace, an independent DNS-SD client in another: what the
client sees on the wire."""
import os
import signal
import time
import unittest

from netlab import HERE, PROMPTLY, PYTHON, LabTestCase, Lines

LANBEACON = os.environ.get("LANBEACON", "build/lanbeacon")
TYPE = "_printer._tcp.local."


def echo_lines(name, printer, serial, kind, secure, service_type, host):
    q = lambda s: '"%s"' % s
    return [
        "name= " + q(name),
        "printerName= " + q(printer),
        "printerNo= " + q(serial),
        "printerType= " + q(kind),
        "hasPasswd= " + q(secure),
        "type= " + service_type,
        "host= " + host,
        "startServicePublish success " + q(printer),
    ]


class PublishTest(LabTestCase):
    def start(self, *args, host="pub"):
        self.assertEqual(len(args), 7)
        return self.lab.spawn(host, [LANBEACON] + list(args))

    def stderr_lines(self, proc):
        return self.lab.stderr_of(proc).splitlines()

    def assertStillRunning(self, proc):
        self.assertIsNone(proc.poll(), "lanbeacon ended: " + self.lab.stderr_of(proc))

    def test_resolves_with_type_port_address_and_txt(self):
        args = ("Office Printer", "HP LaserJet", "SN-0042", "laser", "false", "_printer._tcp", "printer1")
        proc = self.start(*args)
        seen = self.client.resolved("Office Printer", 5)
        self.assertIsNotNone(seen, "the client never resolved the printer")
        self.assertEqual(seen["port"], 5853)
        self.assertEqual(seen["server"], "printer1.local.")
        self.assertIn("10.213.0.1", seen["addresses"])
        self.assertEqual(seen["txt"], ["printer_name=HP LaserJet", "serial_number=SN-0042",
                                       "printer_type=laser", "secure=false"])
        # A normal run prints the program's lines and nothing else.
        self.assertEqual(self.stderr_lines(proc), echo_lines(*args))
        self.assertStillRunning(proc)
        self.assertOwnStack(proc, own="pub" not in self.daemon_hosts)

    def test_empty_values_stay_present_and_spaces_survive(self):
        args = ("Front Desk", "", "SN 42 B", "", "", "_printer._tcp", "")
        proc = self.start(*args)
        seen = self.client.resolved("Front Desk", 5)
        self.assertIsNotNone(seen, "the client never resolved the printer")
        self.assertEqual(seen["txt"], ["printer_name=", "serial_number=SN 42 B", "printer_type=", "secure="])
        # An empty host means this machine's own host name.
        self.assertEqual(seen["server"], os.uname().nodename + ".local.")
        self.assertEqual(self.stderr_lines(proc), echo_lines(*args))

    def test_non_ascii_name_arrives_exactly(self):
        name = "Büro Drucker ✓ 3.OG"
        proc = self.start(name, "Drucker Süd", "1", "inkjet", "true", "_printer._tcp", "buero")
        seen = self.client.resolved(name, 5)
        self.assertIsNotNone(seen, "the client never saw %r; it saw %r" % (name, self.client.events))
        self.assertEqual(seen["txt"][0], "printer_name=Drucker Süd")
        self.assertIn('name= "%s"' % name, self.stderr_lines(proc))

    def test_terminating_signals_send_goodbyes_and_end_by_the_signal(self):
        for signo in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signo.name):
                name = "Printer " + signo.name
                proc = self.start(name, "HP", "1", "laser", "false", "_printer._tcp", "printer1")
                self.assertIsNotNone(self.client.resolved(name, 5))
                proc.send_signal(signo)
                self.assertIsNotNone(self.client.removed(name, PROMPTLY), "the client still lists the printer")
                self.assertEqual(proc.wait(5), -signo)
                self.assertNotIn("out", self.stderr_lines(proc))

    def test_announces_once_the_link_comes_up(self):
        self.lab.add_host("late", 3, up=False)
        proc = self.start("Late Printer", "HP", "1", "laser", "false", "_printer._tcp", "late", host="late")
        time.sleep(2)
        self.assertIsNone(self.client.resolved("Late Printer", 0))
        self.lab.set_link("late", True)
        # The IPv6 side may come up first; what counts is the IPv4 address arriving too.
        seen = self.client.resolved("Late Printer", 5, where=lambda e: "10.213.0.3" in e["addresses"])
        self.assertIsNotNone(seen, "not announced with its IPv4 address after the link came up")
        self.assertStillRunning(proc)

    def test_link_lost_while_probing_then_back(self):
        proc = self.start("Flaky Printer", "HP", "1", "laser", "false", "_printer._tcp", "printer1")
        time.sleep(0.3)  # within the first probes
        self.lab.set_link("pub", False)
        time.sleep(1.5)
        self.lab.set_link("pub", True)
        seen = self.client.resolved("Flaky Printer", 5, where=lambda e: "10.213.0.1" in e["addresses"])
        self.assertIsNotNone(seen, "not announced again with its IPv4 address after the link came back")
        self.assertEqual(self.stderr_lines(proc)[-1], 'startServicePublish success "HP"')

    def test_a_new_address_is_announced(self):
        proc = self.start("Office Printer", "HP", "1", "laser", "false", "_printer._tcp", "printer1")
        self.assertIsNotNone(self.client.resolved("Office Printer", 5))
        self.lab.exec_in(self.lab.hosts["pub"], "ip", "addr", "add", "10.213.0.11/24", "dev", "eth0")
        seen = self.client.resolved("Office Printer", 6, where=lambda e: "10.213.0.11" in e["addresses"])
        self.assertIsNotNone(seen, "the new address was not announced: %r" % self.client.events)
        self.assertStillRunning(proc)

    def test_runs_unprivileged_beside_another_mdns_stack(self):
        other = self.lab.spawn("pub", [PYTHON, os.path.join(HERE, "dnssd_responder.py"), "--name", "Other Printer",
                                       "--type", TYPE, "--port", "631", "--host", "other.local.",
                                       "--address", "10.213.0.1", "--txt", "rp=queue"])
        self.assertEqual(Lines(other.stdout).next(10), "registered", self.lab.stderr_of(other))
        proc = self.lab.spawn("pub", ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                      LANBEACON, "Office Printer", "HP", "1", "laser", "false", "_printer._tcp",
                                      "printer1"])
        seen = self.client.resolved("Office Printer", 5)
        self.assertIsNotNone(seen, "lanbeacon was not seen: " + self.lab.stderr_of(proc))
        self.assertEqual(seen["port"], 5853)
        self.assertIsNotNone(self.client.resolved("Other Printer", 5))
        self.assertEqual(len(self.stderr_lines(proc)), 8, self.lab.stderr_of(proc))
        self.assertStillRunning(other)

    def test_same_service_name_twice_gives_two_services(self):
        self.lab.add_host("pub2", 3)
        first = self.start("Office Printer", "A", "1", "laser", "false", "_printer._tcp", "printer1")
        self.assertIsNotNone(self.client.resolved("Office Printer", 5))
        second = self.start("Office Printer", "B", "2", "laser", "false", "_printer._tcp", "printer2",
                            host="pub2")
        renamed = self.client.resolved("Office Printer #2", 8)
        self.assertIsNotNone(renamed, "the second printer was not announced under a new name")
        self.assertEqual(renamed["txt"][0], "printer_name=B")
        warnings = [l for l in self.stderr_lines(second) if l.startswith("qzeroconf:")]
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn('"Office Printer #2"', warnings[0])
        self.assertStillRunning(first)
        self.assertEqual([l for l in self.stderr_lines(first) if l.startswith("qzeroconf:")], [])

    def test_same_host_name_twice_renames_the_host(self):
        self.lab.add_host("pub2", 3)
        self.start("Printer A", "A", "1", "laser", "false", "_printer._tcp", "printer1")
        self.assertIsNotNone(self.client.resolved("Printer A", 5))
        second = self.start("Printer B", "B", "2", "laser", "false", "_printer._tcp", "printer1", host="pub2")
        # The IPv6 side may resolve first; what counts is the IPv4 address arriving too.
        moved = self.client.resolved("Printer B", 8, where=lambda e: e["server"] == "printer1-2.local."
                                     and "10.213.0.3" in e["addresses"])
        self.assertIsNotNone(moved, "printer B does not point at a host of its own: %r" % self.client.events)
        self.assertNotIn("10.213.0.1", moved["addresses"])
        warnings = [l for l in self.stderr_lines(second) if l.startswith("qzeroconf:")]
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn('"printer1-2.local"', warnings[0])

    def test_oversized_txt_value_is_refused_clearly(self):
        printer = "x" * 300
        proc = self.start("Big Printer", printer, "1", "laser", "false", "_printer._tcp", "printer1")
        text = self.lab.wait_stderr(proc, lambda t: "qzeroconf:" in t, 3)
        warnings = [l for l in text.splitlines() if l.startswith("qzeroconf:")]
        self.assertEqual(len(warnings), 1, text)
        self.assertIn("printer_name", warnings[0])
        self.assertIn("255 bytes", warnings[0])
        self.assertIsNone(self.client.resolved("Big Printer", 2))
        self.assertStillRunning(proc)


class PublishThroughDaemonTest(PublishTest):
    """The same cases with avahi-daemon running on every publishing host, so that
    lanbeacon publishes through it."""

    daemon_hosts = ("pub", "pub2", "late")


if __name__ == "__main__":
    unittest.main()
