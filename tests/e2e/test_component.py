"""The component on the wire, driven by zeroconf_probe: servicePublished, and the
goodbyes of stopServicePublish() and of the destructor."""
import os
import time
import unittest

from netlab import LabTestCase, Lines

PROBE = os.environ.get("ZEROCONF_PROBE", "build/tests/e2e/zeroconf_probe")


class ComponentTest(LabTestCase):
    def setUp(self):
        super().setUp()
        self.probe = self.lab.spawn("pub", [PROBE], stdin_pipe=True)
        self.out = Lines(self.probe.stdout)

    def command(self, *words):
        self.probe.stdin.write("\t".join(words) + "\n")
        self.probe.stdin.flush()

    def expect(self, line, timeout=5):
        got = self.out.next(timeout)
        self.assertEqual(got, line, "probe stderr: " + self.lab.stderr_of(self.probe))

    def publish(self, name):
        self.command("start", name, "_printer._tcp", "probehost")
        self.expect("published")
        self.assertIsNotNone(self.client.resolved(name, 5))

    def test_stop_and_destructor_send_goodbyes(self):
        for finish, reply in (("stop", "stopped"), ("delete", "deleted")):
            with self.subTest(finish=finish):
                name = "Probe " + finish
                self.publish(name)
                sent = time.time()
                self.command(finish)
                self.expect(reply)
                gone = self.client.removed(name, 3)
                self.assertIsNotNone(gone, "%s left the service standing" % finish)
                self.assertLess(gone["t"] - sent, 1.0)
        # The same object publishes again after a stop, under the same name.
        self.publish("Probe stop")
        self.assertEqual(self.lab.stderr_of(self.probe), "")


class ComponentThroughDaemonTest(ComponentTest):
    daemon_hosts = ("pub",)


if __name__ == "__main__":
    unittest.main()
