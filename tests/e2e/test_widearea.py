# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Wide-area registration against a real BIND: lanbeacon registers the printer in the
site's DNS beside the mDNS announcement; dig and avahi-browse in another namespace are the
clients."""
import os
import signal
import time
import unittest

from avahidaemon import AvahiDaemon
from bindlab import PLAIN, ZONE, BindServer, KnotServer, with_other_secret
from netlab import HERE, PROMPTLY, PYTHON, Client, JsonEvents, LabTestCase, Lines
from test_publish import echo_lines

LANBEACON = os.environ.get("LANBEACON", "build/lanbeacon")
PROBE = os.environ.get("ZEROCONF_PROBE", "build/tests/e2e/zeroconf_probe")
ARGS = ("Office Printer", "HP LaserJet", "SN-0042", "laser", "false", "_printer._tcp", "printer1")
INSTANCE = "Office\\032Printer._printer._tcp." + ZONE
TXT = '"printer_name=HP LaserJet" "serial_number=SN-0042" "printer_type=laser" "secure=false"'
EXPECTED = {
    ("_printer._tcp." + ZONE, "PTR", INSTANCE),
    (INSTANCE, "SRV", "0 0 5853 printer1." + ZONE),
    (INSTANCE, "TXT", TXT),
    ("printer1." + ZONE, "A", "10.213.0.1"),
}


def wait_for(predicate, timeout, step=0.02):
    """The first true value of predicate() within timeout, else the last one."""
    deadline = time.time() + timeout
    while True:
        value = predicate()
        if value or time.time() >= deadline:
            return value
        time.sleep(step)


class WideAreaLab(LabTestCase):
    """A publishing host "pub" whose resolver is the BIND on "dns" with example.test as
    search domain, and "cli" to look from."""

    with_client = False
    start_server = True
    algorithm = "hmac-sha256"
    server = BindServer
    server_options = {}

    def setUp(self):
        super().setUp()
        self.dns = self.server(self.lab, algorithm=self.algorithm, **self.server_options)
        self.addCleanup(self.dns.close)
        self.use_search_domain(ZONE)
        if self.start_server:
            self.dns.start()

    def use_search_domain(self, domain, host="pub"):
        self.lab.set_resolv_conf(self.lab.hosts[host], "search %s\nnameserver %s\n" % (domain, self.dns.address))

    def start(self, *args, key_file=None, host="pub", debug=False):
        env = self.lab.env_of(host)
        if key_file is None:
            key_file = self.dns.key_file
        if key_file:
            env["QZEROCONF_TSIG_KEYFILE"] = key_file
        if debug:
            env["QT_LOGGING_RULES"] = "qzeroconf.debug=true"
        return self.lab.spawn(host, [LANBEACON] + list(args or ARGS), env=env)

    def registered(self, expected=EXPECTED, timeout=5):
        return wait_for(lambda: self.dns.service_records() == self.dns.fold(expected), timeout)

    def gone(self, timeout=PROMPTLY):
        return wait_for(lambda: not self.dns.service_records(), timeout)

    def warnings(self, proc):
        return [l for l in self.lab.stderr_of(proc).splitlines() if l.startswith("qzeroconf:")]



class WideAreaTest(WideAreaLab):
    def test_dig_sees_ptr_srv_txt_and_address(self):
        proc = self.start()
        self.assertTrue(self.registered(), "the zone holds %r" % self.dns.service_records())
        # As a DNS-SD client walks it: browse, then resolve.
        fold = self.dns.fold_name
        self.assertEqual(self.dns.dig("+short", "PTR", "_printer._tcp." + ZONE).split(), [fold(INSTANCE)])
        self.assertEqual(self.dns.dig("+short", "SRV", INSTANCE).strip(), "0 0 5853 printer1." + ZONE)
        self.assertEqual(self.dns.dig("+short", "TXT", INSTANCE).strip(), TXT)
        self.assertEqual(self.dns.dig("+short", "A", "printer1." + ZONE).strip(), "10.213.0.1")
        self.assertEqual(self.lab.stderr_of(proc).splitlines(), echo_lines(*ARGS))

    def test_avahi_browse_finds_it_in_the_domain(self):
        self.use_search_domain(ZONE, host="cli")
        daemon = AvahiDaemon(self.lab, "cli", "browser", wide_area=True)
        self.lab.daemons["cli"] = daemon
        daemon.start()
        self.start()
        self.assertTrue(self.registered())
        browse = self.lab.spawn("cli", ["avahi-browse", "-d", ZONE.rstrip("."), "-kprt", "_printer._tcp"],
                                env=daemon.env)
        lines = Lines(browse.stdout).drain(8)
        resolved = [l.split(";") for l in lines if l.startswith("=")]
        self.assertTrue(resolved, "avahi-browse saw: %r %s" % (lines, self.lab.stderr_of(browse)))
        fields = resolved[0]
        # Parsable output escapes the space as a DNS name would, and avahi's string list
        # prints the TXT strings last first (dig above shows them in their order).
        txt_last_first = " ".join(reversed(['"%s"' % t for t in TXT.strip('"').split('" "')]))
        self.assertEqual(fields[3:10], ["Office\\032Printer", "_printer._tcp", ZONE.rstrip("."),
                                        "printer1." + ZONE.rstrip("."), "10.213.0.1", "5853", txt_last_first])

    def test_terminating_signals_remove_the_records(self):
        for signo in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signo.name):
                proc = self.start()
                self.assertTrue(self.registered())
                proc.send_signal(signo)
                self.assertTrue(self.gone(), "left behind: %r" % self.dns.service_records())
                self.assertEqual(proc.wait(5), -signo)

    def test_stop_and_destructor_remove_the_records(self):
        instance = "Probe._printer._tcp." + ZONE
        expected = {("_printer._tcp." + ZONE, "PTR", instance),
                    (instance, "SRV", "0 0 5853 probehost." + ZONE),
                    (instance, "TXT", '"probe=1"'),
                    ("probehost." + ZONE, "A", "10.213.0.1")}
        env = dict(self.lab.env_of("pub"), QZEROCONF_TSIG_KEYFILE=self.dns.key_file)
        probe = self.lab.spawn("pub", [PROBE], stdin_pipe=True, env=env)
        out = Lines(probe.stdout)
        for finish, reply in (("stop", "stopped"), ("delete", "deleted")):
            with self.subTest(finish=finish):
                probe.stdin.write("start\tProbe\t_printer._tcp\tprobehost\n")
                probe.stdin.flush()
                self.assertEqual(out.next(5), "published", self.lab.stderr_of(probe))
                self.assertTrue(self.registered(expected), "the zone holds %r" % self.dns.service_records())
                probe.stdin.write(finish + "\n")
                probe.stdin.flush()
                self.assertEqual(out.next(5), reply)
                self.assertTrue(self.gone(), "left behind: %r" % self.dns.service_records())
        self.assertEqual(self.lab.stderr_of(probe), "")

    def test_restart_after_sigkill_takes_over_its_own_name(self):
        proc = self.start()
        self.assertTrue(self.registered())
        proc.kill()
        proc.wait(5)
        self.assertEqual(self.dns.service_records(), self.dns.fold(EXPECTED))  # nothing could delete them
        again = self.start(debug=True)
        # The server leaves the zone as it is (the same records again), so the process
        # tells at debug level that it registered, and under which name.
        said = self.lab.wait_stderr(again, lambda t: "wide-area: registered" in t, 3)
        self.assertIn("ours from an earlier run; taking it over", said)
        self.assertIn("wide-area: registered Office\\032Printer._printer._tcp." + ZONE, said)
        self.assertEqual(self.dns.service_records(), self.dns.fold(EXPECTED))
        self.assertFalse([l for l in said.splitlines() if "taken" in l or "warning" in l.lower()], said)

    def test_a_name_held_by_another_host_is_renamed(self):
        self.dns.nsupdate("update add %s 60 SRV 0 0 631 other.%s\nupdate add %s 60 TXT \"rp=queue\"\n"
                          "update add _printer._tcp.%s 60 PTR %s" % (INSTANCE, ZONE, INSTANCE, ZONE, INSTANCE))
        held = self.dns.service_records()
        proc = self.start()
        renamed = {(o.replace("Printer.", "Printer\\032#2."), t, r.replace("Printer.", "Printer\\032#2."))
                   for o, t, r in EXPECTED}
        self.assertTrue(self.registered(held | self.dns.fold(renamed)), "the zone holds %r" % self.dns.service_records())
        warnings = self.warnings(proc)
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn('"Office Printer #2"', warnings[0])
        proc.terminate()
        self.assertTrue(wait_for(lambda: self.dns.service_records() == held, 1), "the other host's records suffered")

    def test_a_wrong_key_gives_one_warning_no_records_and_mdns_unaffected(self):
        client = Client(self.lab, "cli", self.service_type)
        bad = self.dns.write("wrong.conf", with_other_secret(self.dns.key_text), 0o600)
        proc = self.start(key_file=bad)
        self.assertIsNotNone(client.resolved("Office Printer", 5), "mDNS announcement affected")
        time.sleep(1)
        self.assertEqual(self.dns.service_records(), set())
        warnings = self.warnings(proc)
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn(self.dns.address, warnings[0])
        self.assertIn("BADSIG", warnings[0])
        self.assertNotIn(self.dns.key_text.split('"')[3], self.lab.stderr_of(proc))  # never the secret
        proc.terminate()
        self.assertIsNotNone(client.removed("Office Printer", 3))

    def test_a_fifo_as_key_file_holds_nothing_up(self):
        client = Client(self.lab, "cli", self.service_type)
        fifo = os.path.join(self.dns.dir, "key.fifo")
        os.mkfifo(fifo, 0o600)
        proc = self.start(key_file=fifo)
        self.assertIsNotNone(client.resolved("Office Printer", 5), "mDNS announcement held up")
        self.assertEqual(self.warnings(proc), ["qzeroconf: the TSIG key file %s is not a regular file" % fifo])
        proc.terminate()
        self.assertEqual(proc.wait(5), -signal.SIGTERM)

    def test_stop_and_destructor_return_at_once_while_the_server_is_frozen(self):
        env = dict(self.lab.env_of("pub"), QZEROCONF_TSIG_KEYFILE=self.dns.key_file)
        probe = self.lab.spawn("pub", [PROBE], stdin_pipe=True, env=env)
        out = Lines(probe.stdout)
        for finish in ("stop", "delete"):
            with self.subTest(finish=finish):
                probe.stdin.write("start\tProbe\t_printer._tcp\tprobehost\n")
                probe.stdin.flush()
                self.assertEqual(out.next(5), "published", self.lab.stderr_of(probe))
                self.assertTrue(wait_for(self.dns.service_records, 5))
                self.dns.proc.send_signal(signal.SIGSTOP)
                try:
                    probe.stdin.write("timed\t%s\n" % finish)
                    probe.stdin.flush()
                    took = out.next(5)
                finally:
                    self.dns.proc.send_signal(signal.SIGCONT)
                # Waiting for the frozen server took a whole second before.
                self.assertLess(int(took.split()[2]), 1000, took)
                self.assertTrue(self.gone(), "left behind: %r" % self.dns.service_records())

    def test_no_registration_domain_registers_nothing_and_says_nothing(self):
        self.use_search_domain(PLAIN)
        proc = self.start()
        time.sleep(2)
        self.assertEqual(self.dns.service_records(), set())
        self.assertEqual(self.lab.stderr_of(proc).splitlines(), echo_lines(*ARGS))
        proc.terminate()
        self.assertEqual(proc.wait(5), -signal.SIGTERM)

    def test_a_new_address_is_updated_in_the_zone(self):
        # A key that every user can read still works, with one warning.
        open_key = self.dns.write("open.key", self.dns.key_text, 0o644)
        proc = self.start(key_file=open_key)
        self.assertTrue(self.registered())
        warnings = self.warnings(proc)
        self.assertEqual(len(warnings), 1, warnings)
        self.assertIn("open.key is readable by other users", warnings[0])
        self.lab.exec_in(self.lab.hosts["pub"], "ip", "addr", "add", "10.213.0.11/24", "dev", "eth0")
        address = ("printer1." + ZONE, "A", "10.213.0.11")
        self.assertTrue(wait_for(lambda: address in self.dns.service_records(), 3),
                        "the zone holds %r" % self.dns.service_records())
        self.assertEqual(self.dns.service_records(), self.dns.fold(EXPECTED | {address}))


class KnotTest(WideAreaTest):
    """The same cases against Knot DNS, the other primary server in Debian."""

    server = KnotServer


class LeaseTest(WideAreaLab):
    """Unsigned updates, allowed by address, through an update server that grants a
    10 s lease (leaseproxy.py in front of BIND)."""

    server_options = {"by_address": True, "update_server": "10.213.0.54"}

    def test_unsigned_updates_under_a_short_lease_are_refreshed(self):
        self.lab.exec_in(self.lab.hosts["dns"], "ip", "addr", "add", "10.213.0.54/24", "dev", "eth0")
        proxy = JsonEvents(self.lab.spawn("dns", [PYTHON, os.path.join(HERE, "leaseproxy.py"), "--listen",
                                                  "10.213.0.54", "--server", self.dns.address, "--lease", "10"]).stdout)
        self.assertIsNotNone(proxy.wait(lambda e: e["event"] == "ready", 5))
        proc = self.start(key_file="")
        self.assertTrue(self.registered())
        first = proxy.wait(lambda e: e["event"] == "update", 1)
        self.assertEqual(first["lease"], 3600)  # asked for an hour, granted 10 s
        # Refreshed at 80% of the lease granted, not of the one asked for.
        refresh = proxy.wait(lambda e: e["event"] == "update" and e["t"] > first["t"], 12)
        self.assertIsNotNone(refresh, "no refresh within 12 s")
        self.assertGreater(refresh["t"] - first["t"], 7.0)
        self.assertLess(refresh["t"] - first["t"], 9.5)
        self.assertEqual(self.dns.service_records(), EXPECTED)
        self.assertEqual(self.lab.stderr_of(proc).splitlines(), echo_lines(*ARGS))
        proc.terminate()
        self.assertTrue(self.gone(), "left behind: %r" % self.dns.service_records())


class ResolverNotReadyTest(WideAreaLab):
    def test_servfail_at_start_is_asked_again(self):
        self.lab.exec_in(self.lab.hosts["dns"], "ip", "addr", "add", "10.213.0.54/24", "dev", "eth0")
        proxy = JsonEvents(self.lab.spawn("dns", [PYTHON, os.path.join(HERE, "leaseproxy.py"), "--listen",
                                                  "10.213.0.54", "--server", self.dns.address,
                                                  "--servfail", "2"]).stdout)
        self.assertIsNotNone(proxy.wait(lambda e: e["event"] == "ready", 5))
        self.lab.set_resolv_conf(self.lab.hosts["pub"], "search %s\nnameserver 10.213.0.54\n" % ZONE)
        proc = self.start()
        self.assertIsNotNone(proxy.wait(lambda e: e["event"] == "servfail", 5))
        self.assertTrue(self.registered(timeout=10), "the zone holds %r" % self.dns.service_records())
        self.assertEqual(self.lab.stderr_of(proc).splitlines(), echo_lines(*ARGS))


class ServerDownAtStartTest(WideAreaLab):
    start_server = False
    algorithm = "hmac-sha512"

    def test_registered_once_the_server_comes_up(self):
        proc = self.start()
        time.sleep(2)
        self.dns.start()
        self.assertTrue(self.registered(timeout=10), "the zone holds %r" % self.dns.service_records())
        self.assertEqual(self.lab.stderr_of(proc).splitlines(), echo_lines(*ARGS))


class WideAreaBrowseTest(WideAreaLab):
    """startBrowser() on "cli" (search domain example.test) finds what nsupdate (TTL 10 s) and lanbeacon put there."""

    def browse(self, service_type="_printer._tcp", domains=(), resolver=None):
        self.lab.set_resolv_conf(self.lab.hosts["cli"], "search %s\nnameserver %s\n" % (ZONE, resolver or self.dns.address))
        self.probe = self.lab.spawn("cli", [PROBE], stdin_pipe=True)
        self.addCleanup(self.probe.kill)
        self.say(*(["domains\t" + "\t".join(domains)] if domains else []), "browse\t%s\tany" % service_type)
        return JsonEvents(self.probe.stdout)

    def say(self, *lines):
        self.probe.stdin.write("".join(line + "\n" for line in lines))
        self.probe.stdin.flush()

    def add(self, name, txt='"rp=queue" "note=x y"', subtype=None, domain=ZONE):
        instance = "%s._printer._tcp.%s" % (name, domain)
        lines = ["update add _printer._tcp.%s 10 PTR %s" % (domain, instance),
                 "update add %s 10 SRV 0 0 631 lp.%s" % (instance, ZONE),
                 "update add %s 10 TXT %s" % (instance, txt), "update add lp.%s 10 A 10.213.0.77" % ZONE]
        if subtype:
            lines.append("update add %s._sub._printer._tcp.%s 10 PTR %s" % (subtype, domain, instance))
        self.dns.nsupdate("\n".join(lines))
        return instance

    def event(self, events, kind, name, timeout=5, domain=ZONE.rstrip(".")):
        if domain != "local":  # Knot gives names back in lower case
            name = self.dns.fold_name(name)
        return events.wait(lambda e: e["event"] == kind and e["name"] == name and e["domain"] == domain, timeout)

    def only(self, events, name, domain=ZONE.rstrip(".")):
        self.assertIsNotNone(self.event(events, "added", name, domain=domain))
        events.wait(lambda e: False, 2)  # and nothing else
        self.assertEqual([e["name"] for e in events.events], [self.dns.fold_name(name)])

    def test_services_in_the_zone_are_found_and_resolved_exactly(self):
        self.start()
        self.assertTrue(self.registered())
        self.add("Lab\\032Queue")
        events = self.browse()
        queue = self.event(events, "added", "Lab Queue")
        self.assertEqual({k: queue[k] for k in ("type", "host", "ip", "port", "txt")},
                         {"type": "_printer._tcp", "host": "lp." + ZONE.rstrip("."), "ip": "10.213.0.77",
                          "port": 631, "txt": {"rp": "queue", "note": "x y"}})
        printer = self.event(events, "added", "Office Printer")
        self.assertEqual((printer["host"], printer["ip"], printer["port"], printer["txt"]["serial_number"]),
                         ("printer1." + ZONE.rstrip("."), "10.213.0.1", 5853, "SN-0042"))
        # Seen by mDNS as well: once there, once in the zone.
        self.assertIsNotNone(self.event(events, "added", "Office Printer", domain="local"))
        events.wait(lambda e: False, 2)  # and nothing more
        self.assertEqual(len([e for e in events.events if e["event"] == "added"]), 3, events.events)

    def test_a_txt_change_and_a_removal_are_seen_within_the_ttl(self):
        instance = self.add("Queue")
        events = self.browse()
        self.assertIsNotNone(self.event(events, "added", "Queue"))
        self.dns.nsupdate('update delete %s TXT\nupdate add %s 10 TXT "rp=other"' % (instance, instance))
        updated = self.event(events, "updated", "Queue", timeout=13)
        self.assertEqual(updated and updated["txt"], {"rp": "other"})
        self.dns.nsupdate("update delete _printer._tcp.%s PTR %s" % (ZONE, instance))
        self.assertIsNotNone(self.event(events, "removed", "Queue", timeout=13))

    def test_a_subtype_browse_finds_only_its_instances(self):
        self.add("Colour", subtype="_color")
        self.add("Mono")
        self.only(self.browse("_printer._tcp,_color"), "Colour")

    def test_a_domain_advertised_only_by_b_dns_sd_is_browsed(self):
        self.dns.nsupdate("update delete b._dns-sd._udp.%s\nupdate delete db._dns-sd._udp.%s\n"
                          "update add b._dns-sd._udp.%s 10 PTR floor2.%s" % (ZONE, ZONE, ZONE, ZONE))
        self.add("Floor\\032Two", domain="floor2." + ZONE)
        self.add("Elsewhere")
        self.only(self.browse(), "Floor Two", domain="floor2." + ZONE.rstrip("."))

    def test_an_answer_too_long_for_udp_comes_over_tcp(self):
        long_txt = " ".join('"k%d=%s"' % (i, "v" * 200) for i in range(4))
        self.add("Long", txt=long_txt)
        events = self.browse()
        added = self.event(events, "added", "Long")
        self.assertEqual(added and added["txt"], {"k%d" % i: "v" * 200 for i in range(4)})

    def test_faults_of_the_server_hold_nothing_up_and_are_told_once(self):
        self.use_search_domain(PLAIN)  # pub only announces over mDNS
        self.start()
        self.lab.exec_in(self.lab.hosts["dns"], "ip", "addr", "add", "10.213.0.54/24", "dev", "eth0")
        for fault, proxy in (("SERVFAIL", ["--servfail", "1000"]), ("malformed answer", ["--garbage"]),
                             ("does not answer", None)):
            with self.subTest(fault=fault):
                server = proxy and self.lab.spawn("dns", [PYTHON, os.path.join(HERE, "leaseproxy.py"), "--listen",
                                                          "10.213.0.54", "--server", self.dns.address] + proxy)
                if not proxy:
                    self.dns.proc.send_signal(signal.SIGSTOP)
                elif not JsonEvents(server.stdout).wait(lambda e: e["event"] == "ready", 5):
                    self.fail("the proxy did not start")
                try:
                    events = self.browse(domains=[ZONE], resolver="10.213.0.54" if proxy else None)
                    self.assertIsNotNone(self.event(events, "added", "Office Printer", domain="local"))
                    self.say("gap")  # from here on: the start, with its loading of libraries, is over
                    start = events.wait(lambda e: e["event"] == "gap", 5)
                    time.sleep(5)  # a few rounds of back-off
                    self.say("gap")
                    # A DNS client that blocked would hold the loop for seconds; a loaded machine, for tens of ms.
                    self.assertLess(events.wait(lambda e: e["event"] == "gap" and e is not start, 5)["ms"], 500)
                finally:
                    server.kill() if proxy else self.dns.proc.send_signal(signal.SIGCONT)
                    self.probe.kill()
                told = [l for l in self.warnings(self.probe) if "browsing in example.test" in l]
                self.assertEqual(len(told), 1, told)
                self.assertIn(fault, told[0])


class KnotBrowseTest(WideAreaBrowseTest):
    server = KnotServer


if __name__ == "__main__":
    unittest.main()
