# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""The component on the wire, driven by zeroconf_probe: servicePublished, the goodbyes
of stopServicePublish() and of the destructor, and the component as a guest in the
application's process: its signal handlers, threads and forked children."""
import os
import signal
import time
import unittest

from netlab import PROMPTLY, Client, LabTestCase, Lines

PROBE = os.environ.get("ZEROCONF_PROBE", "build/tests/e2e/zeroconf_probe")


class ProbeTestCase(LabTestCase):
    """zeroconf_probe on the publishing host, driven line by line."""

    def setUp(self):
        super().setUp()
        self.start_probe()

    def start_probe(self):
        self.probe = self.lab.spawn("pub", [PROBE], stdin_pipe=True)
        self.out = Lines(self.probe.stdout)

    def command(self, *words):
        self.probe.stdin.write("\t".join(words) + "\n")
        self.probe.stdin.flush()

    def expect(self, line, timeout=5):
        got = self.out.next(timeout)
        self.assertEqual(got, line, "probe stderr: " + self.lab.stderr_of(self.probe))

    def publish(self, name, host="probehost"):
        self.command("start", name, "_printer._tcp", host)
        self.expect("published")
        self.assertIsNotNone(self.client.resolved(name, 5))

    def ends_by(self, signo, sent, within):
        """That the probe ends by signo within `within` seconds of `sent`."""
        try:
            status = self.probe.wait(max(within, 0) + 2)
        except Exception:
            self.fail("still running %.1f s after the signal" % (time.time() - sent))
        took = time.time() - sent
        self.assertEqual(status, -signo, "probe stderr: " + self.lab.stderr_of(self.probe))
        self.assertLess(took, within)
        return took

    def withdrawn_within(self, names, sent, within):
        for name in names:
            gone = self.client.removed(name, within + 1)
            self.assertIsNotNone(gone, "%s left standing" % name)
            self.assertLess(gone["t"] - sent, within, name)


class ComponentTest(ProbeTestCase):
    def test_stop_and_destructor_send_goodbyes(self):
        for finish, reply in (("stop", "stopped"), ("delete", "deleted")):
            with self.subTest(finish=finish):
                name = "Probe " + finish
                self.publish(name)
                self.command(finish)
                self.expect(reply)
                self.assertIsNotNone(self.client.removed(name, PROMPTLY), "%s left the service standing" % finish)
        # The same object publishes again after a stop, under the same name.
        self.publish("Probe stop")
        self.assertEqual(self.lab.stderr_of(self.probe), "")


    def test_the_application_handler_survives_stop_and_destroy(self):
        self.publish("Handled Printer")
        self.command("handle", str(int(signal.SIGTERM)))  # the application's, set later
        for finish, reply in (("stop", "stopped"), ("delete", "deleted")):
            with self.subTest(finish=finish):
                self.command(finish)
                self.expect(reply)
                self.probe.send_signal(signal.SIGTERM)
                self.expect("handled 15")
                self.assertIsNone(self.probe.poll())
                if finish == "stop":
                    self.publish("Handled Printer")
        # What was the component's own is back at the default action.
        self.probe.send_signal(signal.SIGINT)
        self.ends_by(signal.SIGINT, time.time(), PROMPTLY)

    def test_a_blocked_loop_withdraws_late_but_a_second_signal_ends_it_at_once(self):
        # One signal: served as soon as the loop runs again, with goodbyes.
        self.publish("Blocked Printer")
        self.command("block", "1500")
        self.expect("blocking")
        sent = time.time()
        self.probe.send_signal(signal.SIGTERM)
        took = self.ends_by(signal.SIGTERM, sent, 3.0)
        self.assertGreater(took, 1.0, "ended before the loop ran again")
        self.withdrawn_within(["Blocked Printer"], sent, 3.0)
        # A second one, of either kind, ends it at once by the default action.
        for second in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(second=second.name):
                self.start_probe()
                self.publish("Blocked " + second.name, host="host" + second.name.lower())
                self.command("block", "4000")
                self.expect("blocking")
                self.probe.send_signal(signal.SIGTERM)
                time.sleep(0.1)
                self.probe.send_signal(second)
                self.ends_by(second, time.time(), 2.0)  # not after the 4 s block

    def test_publications_are_withdrawn_however_threads_come_and_go(self):
        # A worker thread publishes, stops and ends; then the main thread publishes.
        self.command("thread", "Worker Printer", "_printer._tcp", "probehost")
        self.expect("published on thread")
        self.assertIsNotNone(self.client.resolved("Worker Printer", 5))
        self.command("endthread")
        self.expect("thread ended")
        self.withdrawn_within(["Worker Printer"], time.time(), PROMPTLY)
        self.publish("Main Printer")
        sent = time.time()
        self.probe.send_signal(signal.SIGTERM)
        self.withdrawn_within(["Main Printer"], sent, PROMPTLY)
        self.ends_by(signal.SIGTERM, sent, PROMPTLY)
        # Publications on two live threads (two responders: one host name, or they would
        # claim the same addresses for two), each withdrawn on its own.
        self.start_probe()
        self.command("thread", "Worker Printer", "_printer._tcp", "probehost")
        self.expect("published on thread")
        self.publish("Main Printer")
        self.assertIsNotNone(self.client.resolved("Worker Printer", 5))
        sent = time.time()
        self.probe.send_signal(signal.SIGTERM)
        self.withdrawn_within(["Main Printer", "Worker Printer"], sent, PROMPTLY)
        self.ends_by(signal.SIGTERM, sent, PROMPTLY)
        self.assertEqual(self.lab.stderr_of(self.probe), "")

    def test_a_forked_child_ends_by_sigterm_and_the_parent_keeps_its_publication(self):
        self.publish("Parent Printer")
        self.command("fork")
        line = self.out.next(5) or ""
        self.assertTrue(line.startswith("child "), line)
        os.kill(int(line.split()[1]), signal.SIGTERM)
        self.expect("child ended by signal 15", timeout=PROMPTLY)
        self.assertIsNone(self.client.removed("Parent Printer", 1.5))
        self.assertIsNone(self.probe.poll(), "the parent ended")
        fresh = Client(self.lab, "cli", self.service_type)
        self.assertIsNotNone(fresh.resolved("Parent Printer", 5), "the parent's printer is gone")
        # The parent's own signal still withdraws.
        sent = time.time()
        self.probe.send_signal(signal.SIGTERM)
        self.withdrawn_within(["Parent Printer"], sent, PROMPTLY)
        self.ends_by(signal.SIGTERM, sent, PROMPTLY)


class ComponentThroughDaemonTest(ComponentTest):
    daemon_hosts = ("pub",)


if __name__ == "__main__":
    unittest.main()
