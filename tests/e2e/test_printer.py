# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""A printer as printers announce themselves, driven by zeroconf_probe: subtypes, two
types under one name renamed together, TXT that changes while it stands, one interface
of two, and what the API tells the application about it."""
import os
import time
import unittest

from avahidaemon import AvahiDaemon
from netlab import HERE, PYTHON, Client, Lines
from test_publish import LANBEACON
from test_component import ProbeTestCase

IPP = "_ipp._tcp"


class PrinterTest(ProbeTestCase):
    service_type = "_universal._sub._ipp._tcp.local."

    def start_printer(self, name, type_=IPP + ",_universal,_print"):
        self.command("retxt", "rp=ipp/print", "state=idle")
        self.expect("txt sent")
        self.command("start", name, type_, "printer1")
        self.expect("published")

    def test_subtypes_reach_python_zeroconf_and_ippfind(self):
        daemon = AvahiDaemon(self.lab, "cli", "avahi-cli")
        self.addCleanup(daemon.close)
        daemon.start()
        self.start_printer("Office")
        self.command("name")
        self.expect("name Office")
        for client in (self.client, Client(self.lab, "cli", "_print._sub._ipp._tcp.local.")):
            seen = client.resolved("Office", 5)
            self.assertIsNotNone(seen)
            self.assertEqual((seen["port"], seen["txt"]), (5853, ["rp=ipp/print", "state=idle"]))
        found = self.lab.spawn("cli", ["ippfind", "-T", "5", IPP + ",_universal", "--print"], env=daemon.env)
        out, _ = found.communicate(timeout=20)
        self.assertIn("ipp://printer1.local:5853/ipp/print", out, self.lab.stderr_of(found))
        # A subtype that is no label is refused, and the reason is the application's to read.
        self.command("stop")
        self.expect("stopped")
        self.command("start", "Office", IPP + ",_a.b", "printer1")
        self.expect("error -1")
        self.command("why")
        self.assertIn('subtype "_a.b" of "_ipp._tcp" is not valid', self.out.next(5))
        # The program passes its type argument through as it is.
        self.lab.spawn("pub", [LANBEACON, "Program", "HP", "1", "laser", "false", IPP + ",_universal", "printer2"])
        self.assertIsNotNone(self.client.resolved("Program", 5))

    def test_two_types_are_renamed_together_and_the_rival_keeps_its_name(self):
        self.lab.add_host("rival", 3)
        rival = self.lab.spawn("rival", [PYTHON, os.path.join(HERE, "dnssd_responder.py"), "--name", "Office",
                                         "--type", "_printer._tcp.local.", "--port", "9100", "--host",
                                         "rival.local.", "--address", "10.213.0.3"])
        self.assertEqual(Lines(rival.stdout).next(10), "registered", self.lab.stderr_of(rival))
        lpd = Client(self.lab, "cli", "_printer._tcp.local.")
        self.command("also", "_printer._tcp", "515")
        self.start_printer("Office")
        self.command("name")
        self.expect("name Office #2")
        self.assertEqual(self.client.resolved("Office #2", 5)["port"], 5853)
        self.assertEqual(lpd.resolved("Office #2", 5)["port"], 515)
        self.assertEqual(lpd.resolved("Office", 5)["port"], 9100)
        self.assertIsNone(self.client.resolved("Office", 1))

    def test_new_txt_is_seen_within_a_second_without_a_removal(self):
        self.start_printer("Office")
        self.assertIsNotNone(self.client.resolved("Office", 5))
        sent = time.time()
        self.command("retxt", "rp=ipp/print", "state=busy")
        self.expect("txt sent")
        seen = self.client.resolved("Office", 3, lambda e: "state=busy" in e["txt"])
        self.assertIsNotNone(seen, "the new TXT never arrived")
        self.assertLess(seen["t"] - sent, 1.0)
        self.assertFalse([e for e in self.client.events if e["event"] == "removed"])
        self.command("name")
        self.expect("name Office")

    def test_one_interface_of_two(self):
        self.lab.add_private_link("pub", "far", 2)
        far = Client(self.lab, "far", self.service_type)
        self.command("iface", "eth1")
        self.start_printer("Far Office")
        self.assertIsNotNone(far.resolved("Far Office", 5))
        self.assertIsNone(self.client.resolved("Far Office", 2), "announced on eth0 as well")


class PrinterThroughDaemonTest(PrinterTest):
    daemon_hosts = ("pub",)


if __name__ == "__main__":
    unittest.main()
