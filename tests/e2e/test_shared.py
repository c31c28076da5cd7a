# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Many publications and a browser in one process, on the one responder of its thread,
as an independent client in another namespace sees them."""
import os
import time
import unittest

from netlab import HERE, PROMPTLY, PYTHON, Client, LabTestCase, Lines, mdns_sockets
from test_component import PROBE

TYPE = "_printer._tcp"


class SharedResponderTest(LabTestCase):
    own_sockets = 2  # an IPv4 and an IPv6 socket of the embedded responder
    find_timeout = 8

    def probe(self, host="pub"):
        proc = self.lab.spawn(host, [PROBE], stdin_pipe=True)
        return proc, Lines(proc.stdout)

    def command(self, proc, *words):
        proc.stdin.write("\t".join(words) + "\n")
        proc.stdin.flush()

    def warnings(self, proc):
        return [l for l in self.lab.stderr_of(proc).splitlines() if l.startswith("qzeroconf:")]

    def resolved_names(self, names, timeout):
        """Waits until the client has resolved every name; returns those it has not."""
        left = set(names)
        self.client.wait(lambda e: e["event"] == "resolved" and left.discard(e["name"]) is None
                         and not left, timeout)
        return left

    def test_two_hundred_services_from_one_process_all_resolve(self):
        one, _ = self.probe()
        self.command(one, "publish", "Single", TYPE, "single")
        self.assertIsNotNone(self.client.resolved("Single", 5))
        sockets_for_one = mdns_sockets(one.pid)

        self.lab.add_host("pub2", 3)
        many, _ = self.probe("pub2")
        self.command(many, "many", "200", "Queue", TYPE, "printserver")
        missing = self.resolved_names(["Queue %d" % i for i in range(1, 201)], 30)
        self.assertEqual(missing, set(), "never resolved: %s; stderr: %s" % (
            sorted(missing)[:10], self.lab.stderr_of(many)[-3000:]))
        self.assertEqual(mdns_sockets(many.pid), sockets_for_one)
        self.assertEqual(self.warnings(many), [])

    def test_a_thousand_services_from_one_process_all_resolve(self):
        many, _ = self.probe()
        self.command(many, "many", "1000", "Queue", TYPE, "printserver")
        missing = self.resolved_names(["Queue %d" % i for i in range(1, 1001)], 90)
        self.assertEqual(missing, set(), "%d never resolved; stderr: %s" % (
            len(missing), self.lab.stderr_of(many)[-3000:]))
        self.assertEqual(self.warnings(many), [])

    def test_hosts_are_shared_and_renamed_per_label(self):
        # Another host holds both names first.
        self.lab.add_host("pub2", 3)
        holder, _ = self.probe("pub2")
        self.command(holder, "publish", "Holder 1", TYPE, "printer1")
        self.command(holder, "publish", "Holder 2", TYPE, "printer2")
        self.assertIsNotNone(self.client.resolved("Holder 1", 5))
        self.assertIsNotNone(self.client.resolved("Holder 2", 5))

        proc, _ = self.probe()
        self.command(proc, "publish", "A", TYPE, "printer1")
        self.command(proc, "publish", "B", TYPE, "printer1")
        self.command(proc, "publish", "C", TYPE, "printer2")
        for name, server in (("A", "printer1-2.local."), ("B", "printer1-2.local."),
                             ("C", "printer2-2.local.")):
            # The IPv6 side may resolve first; what counts is the IPv4 address arriving too.
            seen = self.client.resolved(name, 8, where=lambda e, s=server: e["server"] == s
                                        and "10.213.0.1" in e["addresses"])
            self.assertIsNotNone(seen, "%s does not point at %s: %s" % (name, server, self.lab.stderr_of(proc)))
            self.assertNotIn("10.213.0.3", seen["addresses"])
        warnings = self.warnings(proc)
        self.assertEqual(len(warnings), 2, warnings)
        self.assertIn('"printer1-2.local"', warnings[0] + warnings[1])
        self.assertIn('"printer2-2.local"', warnings[0] + warnings[1])

    def test_one_publication_stops_while_the_others_stand(self):
        proc, out = self.probe()
        for name in ("Keep 1", "Stop me", "Keep 2"):
            self.command(proc, "publish", name, TYPE, "printer1")
        self.assertEqual(self.resolved_names(["Keep 1", "Stop me", "Keep 2"], 5), set())
        self.command(proc, "drop", "Stop me")
        self.assertIsNotNone(self.client.removed("Stop me", PROMPTLY))
        time.sleep(1)
        self.assertEqual([e["name"] for e in self.client.events if e["event"] == "removed"], ["Stop me"])
        # A client that starts now still finds the others, at their host.
        late = Client(self.lab, "cli", self.service_type)
        for name in ("Keep 1", "Keep 2"):
            self.assertIsNotNone(late.resolved(name, 5, where=lambda e: "10.213.0.1" in e["addresses"]))

    def test_a_browser_and_publishers_share_the_responder(self):
        other = self.lab.spawn("cli", [PYTHON, os.path.join(HERE, "dnssd_responder.py"), "--name", "Remote",
                                       "--type", TYPE + ".local.", "--port", "631", "--host", "remote.local.",
                                       "--address", "10.213.0.2", "--txt", "rp=queue"])
        self.assertEqual(Lines(other.stdout).next(10), "registered", self.lab.stderr_of(other))
        proc, out = self.probe()
        self.command(proc, "publish", "Local", TYPE, "printer1")
        self.command(proc, "browse", TYPE, "any")
        seen = set()
        deadline = time.time() + self.find_timeout
        while time.time() < deadline and not {"Local", "Remote"} <= seen:
            line = out.next(deadline - time.time())
            if line and line.startswith("{") and '"added"' in line:
                seen.add("Local" if '"Local"' in line else "Remote" if '"Remote"' in line else line)
        self.assertEqual(seen, {"Local", "Remote"}, self.lab.stderr_of(proc))
        self.assertEqual(mdns_sockets(proc.pid), self.own_sockets)


    def test_threads_with_host_names_of_their_own_leave_each_other_alone(self):
        # One responder per thread, each with a host name of its own on the same
        # addresses: neither takes the other's records for a conflict.
        proc, out = self.probe()
        self.command(proc, "start", "Main", TYPE, "hosta")
        self.command(proc, "thread", "Worker", TYPE, "hostb")
        for name, server in (("Main", "hosta.local."), ("Worker", "hostb.local.")):
            seen = self.client.resolved(name, 5, where=lambda e, s=server: e["server"] == s
                                        and "10.213.0.1" in e["addresses"])
            self.assertIsNotNone(seen, "%s not at %s: %s" % (name, server, self.lab.stderr_of(proc)))
        time.sleep(3)
        self.assertEqual(self.warnings(proc), [])

    def test_programs_with_the_client_library_loaded_first_stop_and_exit(self):
        programs = [p for p in os.environ.get("LOADORDER_PROBES", "").split(":") if p]
        if not programs:
            self.skipTest("built without libavahi-client and libcups")
        for program in programs:
            with self.subTest(program=os.path.basename(program)):
                proc = self.lab.spawn("pub", [program, os.path.basename(program)])
                out, _ = proc.communicate(timeout=10)
                self.assertEqual(proc.returncode, 0, self.lab.stderr_of(proc))
                self.assertTrue(out.endswith("stopped\n"), out)
                self.assertIn("published", out)
                self.assertEqual(self.warnings(proc), [])


class SharedThroughDaemonTest(SharedResponderTest):
    daemon_hosts = ("pub", "pub2")
    own_sockets = 0
    # As for browsing through a daemon (test_browse.py): a daemon just started has taken
    # more than eight seconds to report another host's service on a loaded machine.
    find_timeout = 15


if __name__ == "__main__":
    unittest.main()
