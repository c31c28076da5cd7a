# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""The daemon engine against a real avahi-daemon, without the responder above it.

engine_driver (tests/daemon) loads the engine through the component's loader and runs
it from commands; an independent client in another namespace checks what the daemon
announces for it."""
import os
import shutil
import signal
import tempfile
import time
import unittest

from avahidaemon import AvahiDaemon
from netlab import PROMPTLY, PYTHON, Client, JsonEvents, LabTestCase

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.environ.get("ENGINE_DRIVER", "build/zeroConfig/engine_driver")
TXT = ["txtvers=1", "note=two words", "empty=", "flag", "ü=ö"]


class Driver(JsonEvents):
    def __init__(self, lab, host, env=None, argv=(DRIVER,)):
        self.lab = lab
        self.proc = lab.spawn(host, list(argv), stdin_pipe=True, env=env)
        super().__init__(self.proc.stdout)

    def send(self, *words):
        self.proc.stdin.write("\t".join(str(w) for w in words) + "\n")
        self.proc.stdin.flush()

    def event(self, kind, timeout, after=0, **fields):
        """The first such event at or after time `after`, seen before or within timeout."""
        return self.wait(lambda e: e["event"] == kind and e["t"] >= after
                         and all(e.get(k) == v for k, v in fields.items()), timeout)

    def expect(self, kind, timeout, after=0, **fields):
        seen = self.event(kind, timeout, after, **fields)
        if seen is None:
            raise AssertionError("no %s %s within %s s; events: %s; stderr: %s" % (
                kind, fields, timeout, self.events, self.lab.stderr_of(self.proc)))
        return seen

    def start(self):
        self.send("load")
        self.expect("loaded", 5)
        self.send("start")

    def group(self, gid, name, host="", port=631, txt=(), addresses=True, commit=True):
        self.send("group", gid)
        self.send("service", gid, name, "_printer._tcp", host, port, *txt)
        if host and addresses:
            self.send("hostaddrs", gid, host)
        if commit:
            self.send("commit", gid)

    def group_states(self, gid):
        return [e["state"] for e in self.events if e["event"] == "group" and e["id"] == gid]

    def terminate_and_time(self):
        """SIGTERM; how long until the process has ended, having said "exiting"."""
        sent = time.time()
        self.proc.send_signal(signal.SIGTERM)
        code = self.proc.wait(10)
        took = time.time() - sent
        if code != 0 or not self.event("exiting", 1):
            raise AssertionError("did not end cleanly (%s): %s" % (code, self.lab.stderr_of(self.proc)[-3000:]))
        return took


class DaemonEngineTest(LabTestCase):
    daemon_hosts = ("pub",)

    def driver(self, host="pub", env=None):
        return Driver(self.lab, host, env)

    def running(self, host="pub", env=None):
        d = self.driver(host, env)
        d.start()
        d.expect("running", 5)
        return d

    def test_loads_only_where_a_bus_exists_and_fails_quietly_without_a_daemon(self):
        d = self.driver("cli")  # pointed at a bus socket that does not exist
        d.send("load")
        e = d.expect("unavailable", 5)
        self.assertIn("no system bus at /nonexistent/", e["why"])
        self.assertFalse(e["dbus"], "QtDBus loaded without a bus")

        bus_only = AvahiDaemon(self.lab, "cli")  # a system bus, and no mDNS daemon on it
        self.addCleanup(bus_only.close)
        d = self.driver("cli", env=bus_only.env)
        d.send("load")
        self.assertTrue(d.expect("loaded", 5)["dbus"])
        sent = time.time()
        d.send("start")
        e = d.expect("failed", 3)
        self.assertLess(e["t"] - sent, 0.9)  # not the 1 s wait for a daemon that holds its name
        self.assertIn("no mDNS daemon answers", e["why"])
        self.assertFalse(e["warn"])
        self.assertIsNone(d.event("running", 0.5))

    def test_groups_are_established_exactly_and_withdrawn_when_freed(self):
        d = self.running()
        e = d.events[-1]
        self.assertRegex(e["description"], r"^the host's mDNS daemon \(avahi \d")
        self.assertEqual(e["host"], os.uname().nodename)
        self.assertFalse(e["foreign"])
        # A service on a host label of its own, with this machine's addresses under it,
        # and one on the daemon's own host name.
        d.group("p", "Office Printer", "printer1.local", 631, TXT)
        d.group("o", "Own Printer", "", 632, ["a=1"])
        d.expect("group", 8, id="p", state="Established")
        d.expect("group", 8, id="o", state="Established")
        self.assertEqual(d.group_states("p"), ["Registering", "Established"])

        seen = self.client.resolved("Office Printer", 8)
        self.assertIsNotNone(seen, d.events)
        self.assertEqual(seen["server"], "printer1.local.")
        self.assertEqual(seen["port"], 631)
        self.assertEqual(seen["txt"], TXT)
        self.assertIn("10.213.0.1", seen["addresses"])
        own = self.client.resolved("Own Printer", 8)
        self.assertIsNotNone(own)
        self.assertEqual(own["server"], os.uname().nodename + ".local.")
        self.assertIn("10.213.0.1", own["addresses"])

        freed = time.time()
        d.send("free", "p")
        self.assertIsNotNone(self.client.removed("Office Printer", 3), "not withdrawn")
        self.assertLess(time.time() - freed, 3)
        self.assertIsNone(self.client.removed("Own Printer", 0.5), "the other group went too")
        self.assertLess(d.terminate_and_time(), PROMPTLY)

    def test_names_held_in_the_daemon_are_collisions(self):
        d = self.running()
        d.group("a", "Shared Name", "", 700)
        d.expect("group", 8, id="a", state="Established")
        # The same service name from a second group, before its path is even known:
        # the refusal arrives as the group's state.
        d.group("b", "Shared Name", "", 701)
        d.expect("group", 5, id="b", state="Collision")
        self.assertIsNone(d.event("group", 1, id="b", state="Established"))
        self.assertEqual(d.group_states("b"), ["Collision"], "the commit after it showed through")
        # reset() clears it; another name then goes through.
        d.send("reset", "b")
        d.send("service", "b", "Other Name", "_printer._tcp", "", 701)
        d.send("commit", "b")
        d.expect("group", 8, id="b", state="Established")
        # A host label that another host holds: the conflict comes from the network,
        # as a state signal. (Within one daemon, address records of one name from two
        # groups are allowed: a host may have many addresses.)
        theirs = AvahiDaemon(self.lab, "cli", "avahi-cli")
        self.addCleanup(theirs.close)
        theirs.start()
        self.lab.spawn("cli", ["avahi-publish", "-a", "-R", "taken.local", "10.213.0.2"], env=theirs.env)
        time.sleep(2)
        d.send("group", "c")
        d.send("hostaddrs", "c", "taken.local")
        d.send("commit", "c")
        d.expect("group", 8, id="c", state="Collision")
        self.assertNotIn("Established", d.group_states("c"))

    def test_a_new_host_name_is_host_changing_then_running(self):
        d = self.running()
        daemon = self.lab.daemons["pub"]
        changed = time.time()
        self.lab.spawn("pub", ["avahi-set-host-name", "renamed-host"], env=daemon.env)
        d.expect("hostChanging", 5, after=changed)
        e = d.expect("running", 8, after=changed)
        self.assertEqual(e["host"], "renamed-host")
        self.assertEqual(d.events[-1]["event"], "running", d.events)

    def test_a_frozen_daemon_never_blocks(self):
        d = self.running()
        d.group("p", "Frozen Printer", "printer1.local", 631, TXT)
        d.expect("group", 8, id="p", state="Established")
        daemon = self.lab.daemons["pub"].daemon
        os.kill(daemon.pid, signal.SIGSTOP)
        self.addCleanup(lambda: daemon.poll() is None and os.kill(daemon.pid, signal.SIGCONT))
        d.send("free", "p")
        d.send("group", "q")  # EntryGroupNew that nobody answers
        self.assertLess(d.terminate_and_time(), PROMPTLY)

        d = self.driver()
        d.send("load")
        d.expect("loaded", 5)
        sent = time.time()
        d.send("start")
        e = d.expect("failed", 3)
        self.assertLess(e["t"] - sent, PROMPTLY)
        self.assertEqual(e["why"], "the mDNS daemon does not answer within 1 s")
        self.assertTrue(e["warn"])
        self.assertLess(d.terminate_and_time(), PROMPTLY)

        # Thawed, the daemon has withdrawn the group of the first driver, which is gone.
        os.kill(daemon.pid, signal.SIGCONT)
        self.assertIsNotNone(self.client.removed("Frozen Printer", 5))

    def test_daemon_restart_is_away_then_back_and_gone_for_good_fails(self):
        d = self.running()
        d.group("p", "Office Printer", "printer1.local", 631, TXT)
        d.send("browse", "b", "_printer._tcp", -1)
        d.expect("group", 8, id="p", state="Established")
        daemon = self.lab.daemons["pub"]
        daemon.stop()
        d.expect("away", 3)
        # Dead objects free without talking to anyone, and without crashing.
        d.send("free", "p")
        d.send("free", "b")
        restarted = time.time()
        daemon.start()
        back = d.expect("back", 8)
        running = d.expect("running", 3, after=back["t"])
        self.assertLess(running["t"] - restarted, 5)
        self.assertIsNone(d.event("failed", 0))
        d.group("p", "Office Printer", "printer1.local", 631, TXT)
        d.expect("group", 8, id="p", state="Established")
        seen = Client(self.lab, "cli", self.service_type).resolved("Office Printer", 8)
        self.assertIsNotNone(seen)
        self.assertEqual(seen["txt"], TXT)

        d.send("free", "p")
        stopped = time.time()
        daemon.stop()
        d.expect("away", 3, after=stopped)
        e = d.expect("failed", 8)
        self.assertEqual(e["why"], "the mDNS daemon has been away for 5 s")
        self.assertTrue(e["warn"])
        self.assertGreater(e["t"] - stopped, 4.5)
        self.assertLess(d.terminate_and_time(), PROMPTLY)

    def test_a_daemon_on_another_network_is_foreign(self):
        # The container case: the driver on "cli" reaches the daemon of "pub" through
        # its bus socket, but has a network of its own. As root the engine compares
        # network namespaces; unprivileged it cannot look at the daemon's process and
        # asks the daemon for the names of its interfaces instead.
        # A copy that user nobody may run, with the engine's library beside it.
        copy = tempfile.mkdtemp(prefix="lanbeacon-driver-")
        self.addCleanup(shutil.rmtree, copy, ignore_errors=True)
        os.chmod(copy, 0o755)
        for f in (DRIVER, os.path.join(os.path.dirname(DRIVER), "libQtZeroConfDaemon.so")):
            shutil.copy(f, copy)
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        for argv in ([DRIVER], nobody + [os.path.join(copy, "engine_driver")]):
            for host, foreign in (("cli", True), ("pub", False)):
                with self.subTest(host=host, unprivileged=argv[0] == "setpriv"):
                    env = dict(self.lab.env_of("pub"), QT_LOGGING_RULES="qzeroconf.engine.debug=true")
                    d = Driver(self.lab, host, env=env, argv=argv)
                    d.start()
                    self.assertEqual(d.expect("running", 5)["foreign"], foreign)
                    self.assertLess(d.terminate_and_time(), PROMPTLY)
                    # Which way it found out: the namespaces, or the interface names.
                    self.assertEqual("network namespace" in self.lab.stderr_of(d.proc), argv[0] != "setpriv",
                                     self.lab.stderr_of(d.proc))

    def test_browse_and_resolve_what_others_publish(self):
        daemon = self.lab.daemons["pub"]
        daemon.publish("Daemon Scanner", "_scanner._tcp", 1234, ["a=1", "b=2", "c"])
        self.lab.spawn("cli", [PYTHON, os.path.join(HERE, "dnssd_responder.py"), "--name", "Remote Scanner",
                               "--type", "_scanner._tcp.local.", "--port", "4321", "--host",
                               "remote.local.", "--address", "10.213.0.2", "--txt", "x=9", "y=8"])
        d = self.running()
        d.send("browse", "b", "_scanner._tcp", 0)
        found = {}
        for name in ("Daemon Scanner", "Remote Scanner"):
            e = d.expect("browse", 10, id="b", what="new", name=name)
            self.assertEqual((e["type"], e["domain"], e["protocol"]), ("_scanner._tcp", "local", 0))
            found[name] = e
        # What the independent client sees on the wire, TXT strings in wire order.
        client = Client(self.lab, "cli", "_scanner._tcp.local.")
        expected = {"Remote Scanner": ("remote.local", "10.213.0.2", 4321, ["x=9", "y=8"]),
                    "Daemon Scanner": (os.uname().nodename + ".local", "10.213.0.1", 1234, ["a=1", "b=2", "c"])}
        for rid, (name, e) in enumerate(found.items()):
            sent = time.time()
            d.send("resolve", rid, e["interface"], e["protocol"], name, "_scanner._tcp", "local")
            r = d.expect("resolved", 10, id=str(rid))
            self.assertLess(r["t"] - sent, 5, name)
            self.assertTrue(r["found"])
            self.assertEqual((r["host"], r["address"], r["port"], sorted(r["txt"])), expected[name])
            wire = client.resolved(name, 10)
            self.assertIsNotNone(wire)
            self.assertEqual(r["txt"], wire["txt"])
        # Something that is not there fails to resolve.
        d.send("resolve", "n", e["interface"], e["protocol"], "Nobody", "_scanner._tcp", "local")
        self.assertFalse(d.expect("resolved", 10, id="n")["found"])
        self.assertIsNone(d.event("browse", 0, id="b", what="failure"))

if __name__ == "__main__":
    unittest.main()
