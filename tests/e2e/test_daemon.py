# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""What only the daemon backend does: lanbeacon publishes through the avahi-daemon of
its host, which outlives it, and it outlives the daemon."""
import os
import signal
import time
import unittest

from avahidaemon import AvahiDaemon
from netlab import PROMPTLY, Client, LabTestCase, Lines, mdns_sockets
from test_component import PROBE

LANBEACON = os.environ.get("LANBEACON", "build/lanbeacon")
ARGS = ["Office Printer", "HP", "SN1", "laser", "false", "_printer._tcp", "printer1"]


class DaemonTest(LabTestCase):
    daemon_hosts = ("pub",)

    def start(self, host="pub", env=None):
        proc = self.lab.spawn(host, [LANBEACON] + ARGS, env=env)
        seen = self.client.resolved("Office Printer", 5, where=lambda e: "10.213.0.1" in e["addresses"])
        self.assertIsNotNone(seen, "not announced: " + self.lab.stderr_of(proc))
        self.assertEqual(seen["server"], "printer1.local.")
        return proc

    def warnings(self, proc):
        return [l for l in self.lab.stderr_of(proc).splitlines() if l.startswith("qzeroconf:")]

    def assertRunning(self, proc):
        self.assertIsNone(proc.poll(), "lanbeacon ended: " + self.lab.stderr_of(proc))

    def test_the_backend_is_told_at_debug_level(self):
        for host, expected in (("pub", "using the host's mDNS daemon (avahi "),
                               ("cli", "no mDNS daemon answers")):
            with self.subTest(host=host):
                env = dict(self.lab.env_of(host), QT_LOGGING_RULES="qzeroconf.debug=true")
                proc = self.lab.spawn(host, [LANBEACON] + ARGS[:6] + ["printer-" + host], env=env)
                text = self.lab.wait_stderr(proc, lambda t: expected in t, 5)
                self.assertIn(expected, text)
                proc.terminate()
                proc.wait(5)

    def test_sigkill_is_withdrawn_by_the_daemon(self):
        proc = self.start()
        killed = time.time()
        proc.send_signal(signal.SIGKILL)
        gone = self.client.wait(lambda e: e["event"] == "removed" and e["t"] > killed, PROMPTLY)
        self.assertIsNotNone(gone, "the printer outlived lanbeacon")

    def test_daemon_restart_brings_the_printer_back(self):
        proc = self.start()
        daemon = self.lab.daemons["pub"]
        daemon.stop()
        time.sleep(1)
        daemon.start()
        # A client that starts now knows nothing from before the restart.
        seen = Client(self.lab, "cli", self.service_type).resolved(
            "Office Printer", 8, where=lambda e: "10.213.0.1" in e["addresses"])
        self.assertIsNotNone(seen, "not back after the restart: " + self.lab.stderr_of(proc))
        self.assertEqual(seen["server"], "printer1.local.")
        self.assertEqual(len(seen["txt"]), 4)
        warnings = self.warnings(proc)
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn("is back", warnings[0])
        self.assertRunning(proc)

    def test_daemon_gone_for_good_hands_over_to_the_embedded_responder(self):
        proc = self.start()
        self.lab.daemons["pub"].stop()
        self.assertHandedOver(proc, "the mDNS daemon has been away for 5 s")

    def test_the_system_bus_gone_hands_over_to_the_embedded_responder(self):
        proc = self.start()
        bus = self.lab.daemons["pub"].bus
        bus.terminate()
        bus.wait(5)
        # At once: a lost bus does not come back, so there is nothing to wait for.
        self.assertHandedOver(proc, "the system bus went away")

    def assertHandedOver(self, proc, why):
        text = self.lab.wait_stderr(proc, lambda t: "on our own" in t, 10)
        self.assertIn("on our own", text)
        # Nothing else on that host answers now.
        seen = Client(self.lab, "cli", self.service_type).resolved(
            "Office Printer", 8, where=lambda e: "10.213.0.1" in e["addresses"])
        self.assertIsNotNone(seen, "nobody answers for the printer: " + self.lab.stderr_of(proc))
        self.assertEqual(seen["server"], "printer1.local.")
        self.assertEqual(len(self.warnings(proc)), 1, self.warnings(proc))
        self.assertTrue(self.warnings(proc)[0].startswith("qzeroconf: " + why), self.warnings(proc))
        # And it still withdraws with goodbyes.
        sent = time.time()
        proc.send_signal(signal.SIGTERM)
        gone = self.client.wait(lambda e: e["event"] == "removed" and e["t"] > sent, 3)
        self.assertIsNotNone(gone)
        self.assertEqual(proc.wait(5), -signal.SIGTERM)

    def test_a_daemon_that_answers_nothing_holds_nothing_up(self):
        daemon = self.lab.daemons["pub"].daemon
        daemon.send_signal(signal.SIGSTOP)
        self.addCleanup(lambda: daemon.poll() is None and daemon.send_signal(signal.SIGCONT))
        started = time.time()
        proc = self.lab.spawn("pub", [LANBEACON] + ARGS)
        text = self.lab.wait_stderr(proc, lambda t: "startServicePublish success" in t, PROMPTLY)
        self.assertIn("startServicePublish success", text)
        self.assertLess(time.time() - started, PROMPTLY)
        seen = self.client.resolved("Office Printer", 4, where=lambda e: "10.213.0.1" in e["addresses"])
        self.assertIsNotNone(seen, "not announced on our own: " + self.lab.stderr_of(proc))
        self.assertEqual(seen["server"], "printer1.local.")
        warnings = self.warnings(proc)
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn("does not answer", warnings[0])
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(PROMPTLY), -signal.SIGTERM)

    def assertGoesThroughTheDaemon(self, proc, within):
        deadline = time.time() + within
        while mdns_sockets(proc.pid) and time.time() < deadline:
            time.sleep(0.1)
        self.assertEqual(mdns_sockets(proc.pid), 0, "still an mDNS stack of its own beside the daemon")

    def test_a_daemon_that_starts_later_takes_the_host_over(self):
        # The boot race: the program starts before the daemon, on a host with a bus already
        # or with one that comes later as well.
        for index, bus_later in ((3, False), (4, True)):
            with self.subTest(bus_later=bus_later):
                host = "late%d" % index
                self.lab.add_host(host, index)
                daemon = AvahiDaemon(self.lab, host, "avahi-" + host, bus=not bus_later)
                self.addCleanup(daemon.close)
                env = dict(daemon.env, QT_LOGGING_RULES="qzeroconf.info=true")
                address = "10.213.0.%d" % index
                name = "Late Printer %d" % index
                proc = self.lab.spawn(host, [LANBEACON, name] + ARGS[1:6] + [host], env=env)
                self.assertIsNotNone(self.client.resolved(name, 5), self.lab.stderr_of(proc))
                if bus_later:
                    daemon.start_bus()
                    time.sleep(2)
                daemon.start()
                self.assertIn("Server startup complete", self.lab.stderr_of(daemon.daemon))
                self.assertNotIn("conflict", self.lab.stderr_of(daemon.daemon).lower())
                self.assertGoesThroughTheDaemon(proc, 5)
                seen = Client(self.lab, "cli", self.service_type).resolved(
                    name, 8, where=lambda e: address in e["addresses"])
                self.assertIsNotNone(seen, "not resolvable through the daemon: " + self.lab.stderr_of(proc))
                self.assertEqual(seen["server"], host + ".local.")
                lines = [l for l in self.lab.stderr_of(proc).splitlines() if l.startswith("qzeroconf:")]
                self.assertEqual(lines, ['qzeroconf: the host\'s mDNS daemon answers; announcing "%s" through it, '
                                         'not on our own any more' % name])

    def test_a_daemon_frozen_after_start_hands_over_and_back(self):
        proc = self.lab.spawn("pub", [PROBE], stdin_pipe=True)
        Lines(proc.stdout)

        def command(*words):
            proc.stdin.write("\t".join(words) + "\n")
            proc.stdin.flush()

        command("publish", "First", "_printer._tcp", "printer1")
        self.assertIsNotNone(self.client.resolved("First", 5))
        daemon = self.lab.daemons["pub"].daemon
        os.kill(daemon.pid, signal.SIGSTOP)
        self.addCleanup(lambda: daemon.poll() is None and os.kill(daemon.pid, signal.SIGCONT))
        command("publish", "Second", "_printer._tcp", "printer1")
        seen = self.client.resolved("Second", 10, where=lambda e: "10.213.0.1" in e["addresses"])
        self.assertIsNotNone(seen, "not announced on our own: " + self.lab.stderr_of(proc))
        self.assertEqual(len(self.warnings(proc)), 1, self.warnings(proc))
        self.assertRegex(self.warnings(proc)[0], r'^qzeroconf: the mDNS daemon has not answered for \d s; '
                                                 r'announcing "First", "Second" on our own$')
        self.assertGreater(mdns_sockets(proc.pid), 0)

        os.kill(daemon.pid, signal.SIGCONT)
        self.assertGoesThroughTheDaemon(proc, 8)
        fresh = Client(self.lab, "cli", self.service_type)
        for name in ("First", "Second"):
            self.assertIsNotNone(fresh.resolved(name, 8, where=lambda e: "10.213.0.1" in e["addresses"]), name)
        fresh.wait(lambda e: False, 2)
        names = {e["name"] for e in fresh.events + self.client.events if e["event"] == "resolved"}
        self.assertEqual(names, {"First", "Second"}, "a name stood twice")
        self.assertEqual(len(self.warnings(proc)), 1, self.warnings(proc))

    def test_a_daemon_on_another_network_announces_its_own_host(self):
        # The container case: the daemon's bus is reachable from a namespace whose
        # network is not the daemon's.
        self.lab.add_host("box", 3)
        proc = self.lab.spawn("box", [LANBEACON] + ARGS, env=self.lab.env_of("pub"))
        seen = self.client.resolved("Office Printer", 5)
        self.assertIsNotNone(seen, "not announced through the daemon: " + self.lab.stderr_of(proc))
        self.assertEqual(seen["server"], os.uname().nodename + ".local.")
        self.assertIn("10.213.0.1", seen["addresses"])
        self.assertNotIn("10.213.0.3", seen["addresses"])
        warnings = self.warnings(proc)
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn("another network", warnings[0])
        self.assertRunning(proc)


if __name__ == "__main__":
    unittest.main()
