# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""A small test network of Linux network namespaces, for the end-to-end tests.

One "switch" namespace holds a bridge; every host is a namespace of its own joined to
the bridge by a veth pair, with a private test address and its IPv6 link-local
address. Names carry the process id and a random tag, so that runs never collide, and
close() removes everything, also when a test fails. Every process started here is
tracked and ended by its own pid.
"""
import ctypes
import json
import os
import queue
import random
import shutil
import signal
import subprocess
import threading
import time
import unittest

from avahidaemon import AvahiDaemon

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT = os.path.join(HERE, "dnssd_client.py")
PYTHON = "/usr/bin/python3"  # Debian's, which has python3-zeroconf
# Processes in a host without a daemon of its own must not find the system bus of the
# machine the tests run on (and a daemon there): point them at a bus that is not.
NO_BUS = "unix:path=/nonexistent/lanbeacon-tests-have-no-system-bus"
# `ip netns exec` mounts /etc/netns/NAME/resolv.conf over /etc/resolv.conf. Without a
# search domain nothing in a test host looks for a wide-area registration domain, and
# the name server is the host's own loopback, never a real resolver.
# How long a withdrawal or an ending may take before a test calls it a fault: far below
# what the faults themselves take (a record's TTL, a blocked call's 25 s timeout), far above
# a loaded machine's delays. The figures themselves (about a millisecond) are bench/'s.
PROMPTLY = 3.0
QUIET_RESOLV_CONF = "nameserver 127.0.0.1\n"


def run(*cmd, check=True):
    return subprocess.run(cmd, check=check, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


CLONE_NEWNET = 0x40000000


def in_namespace(ns, make):
    """Calls make() with this thread inside network namespace ns; sockets made there
    stay there."""
    libc = ctypes.CDLL(None, use_errno=True)
    with open("/proc/thread-self/ns/net") as home, open("/run/netns/" + ns) as target:
        if libc.setns(target.fileno(), CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns into " + ns)
        try:
            return make()
        finally:
            libc.setns(home.fileno(), CLONE_NEWNET)


def _default_signals():
    # Whatever the test runner ignores, the processes under test start as a shell would.
    for signo in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signo, signal.SIG_DFL)


def mdns_sockets(pid):
    """How many UDP sockets on port 5353 the process holds: an mDNS stack of its own
    holds some, a client of the host's daemon none."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[len("socket:["):-1])
    count = 0
    for table in ("udp", "udp6"):
        with open("/proc/%d/net/%s" % (pid, table)) as f:
            next(f)
            for line in f:
                fields = line.split()
                if fields[1].endswith(":14E9") and fields[9] in inodes:
                    count += 1
    return count


def require_root():
    """Exit code 77 tells CTest the test was skipped."""
    if os.geteuid() != 0:
        print("SKIP: needs root to create network namespaces (run the suite as root)")
        raise SystemExit(77)


class Lines:
    """Collects the lines of a process's stream on a thread."""

    def __init__(self, stream):
        self.queue = queue.Queue()
        self.all = []
        threading.Thread(target=self._pump, args=(stream,), daemon=True).start()

    def _pump(self, stream):
        for line in iter(stream.readline, ""):
            self.queue.put(line.rstrip("\n"))
        self.queue.put(None)

    def next(self, timeout):
        try:
            line = self.queue.get(timeout=max(timeout, 0))
        except queue.Empty:
            return None
        if line is not None:
            self.all.append(line)
        return line

    def drain(self, seconds=0.0):
        deadline = time.time() + seconds
        while True:
            line = self.next(deadline - time.time())
            if line is None:
                return self.all


class JsonEvents:
    """The events a process prints as JSON lines, one per line."""

    def __init__(self, stream):
        self.lines = Lines(stream)
        self.events = []

    def wait(self, predicate, timeout):
        """The first event (seen before or within timeout) for which predicate holds."""
        for event in self.events:
            if predicate(event):
                return event
        deadline = time.time() + timeout
        while time.time() < deadline:
            line = self.lines.next(deadline - time.time())
            if line is None:
                continue
            try:
                event = json.loads(line)
            except ValueError:
                raise ValueError("not an event: %r" % line) from None
            self.events.append(event)
            if predicate(event):
                return event
        return None


class Client(JsonEvents):
    """The independent DNS-SD client, running in its own namespace."""

    def __init__(self, lab, host, service_type):
        self.proc = lab.spawn(host, [PYTHON, CLIENT, "--type", service_type, "--seconds", "120"])
        super().__init__(self.proc.stdout)
        if not self.wait(lambda e: e["event"] == "browsing", 10):
            raise RuntimeError("the client did not start: " + lab.stderr_of(self.proc))

    def resolved(self, name, timeout, where=lambda e: True):
        return self.wait(lambda e: e["event"] == "resolved" and e["name"] == name and where(e), timeout)

    def removed(self, name, timeout):
        return self.wait(lambda e: e["event"] == "removed" and e["name"] == name, timeout)


class NetLab:
    """daemon_hosts: the hosts that run avahi-daemon (with a system bus of their own) from
    the moment they are added; what runs there finds it on the bus."""

    def __init__(self, daemon_hosts=()):
        self.daemon_hosts = set(daemon_hosts)
        self.daemons = {}
        self.tag = "%x%04x" % (os.getpid() & 0xFFFF, random.randrange(0x10000))
        self.switch = "lbsw-" + self.tag
        self.hosts = {}
        self.procs = []
        self.stderr_files = {}
        run("ip", "netns", "add", self.switch)
        self.exec_in(self.switch, "ip", "link", "add", "br0", "type", "bridge")
        # mDNS is link-local multicast: the bridge must flood it, not snoop it.
        self.exec_in(self.switch, "ip", "link", "set", "br0", "type", "bridge", "mcast_snooping", "0")
        self.exec_in(self.switch, "ip", "link", "set", "br0", "up")

    def exec_in(self, ns, *cmd, check=True):
        return run("ip", "netns", "exec", ns, *cmd, check=check)

    def add_host(self, name, index, up=True, resolv_conf=QUIET_RESOLV_CONF):
        """A host namespace joined to the switch, with 10.213.0.<index>/24 on eth0."""
        ns = "lb%s-%s" % (name, self.tag)
        inner, outer = "eth0", "v%s%d" % (self.tag, index)
        run("ip", "netns", "add", ns)
        self.hosts[name] = ns
        self.set_resolv_conf(ns, resolv_conf)
        run("ip", "link", "add", outer, "type", "veth", "peer", "name", "tmp" + outer)
        run("ip", "link", "set", "tmp" + outer, "netns", ns)
        run("ip", "link", "set", outer, "netns", self.switch)
        self.exec_in(ns, "ip", "link", "set", "tmp" + outer, "name", inner)
        # No duplicate address detection: the link-local address is usable at once.
        self.exec_in(ns, "sysctl", "-qw", "net.ipv6.conf.%s.accept_dad=0" % inner)
        self.exec_in(ns, "ip", "link", "set", "lo", "up")
        self.exec_in(ns, "ip", "addr", "add", "10.213.0.%d/24" % index, "dev", inner)
        if up:
            self.exec_in(ns, "ip", "link", "set", inner, "up")
        self.exec_in(self.switch, "ip", "link", "set", outer, "master", "br0")
        self.exec_in(self.switch, "ip", "link", "set", outer, "up")
        if name in self.daemon_hosts:
            # The first host answers to this machine's name, as an embedded stack there would.
            host_name = os.uname().nodename if not self.daemons else "avahi-" + name
            self.daemons[name] = AvahiDaemon(self, name, host_name)
            self.daemons[name].start()
        return ns

    def add_private_link(self, host, name, index):
        """A host namespace `name` on a link of its own with `host`: host's eth1 is
        10.214.0.1/24, name's eth0 10.214.0.<index>/24."""
        ns = "lb%s-%s" % (name, self.tag)
        run("ip", "netns", "add", ns)
        self.hosts[name] = ns
        self.set_resolv_conf(ns, QUIET_RESOLV_CONF)
        a, b = "pa%s%d" % (self.tag, index), "pb%s%d" % (self.tag, index)
        run("ip", "link", "add", a, "type", "veth", "peer", "name", b)
        for end, where, inner, address in ((a, self.hosts[host], "eth1", 1), (b, ns, "eth0", index)):
            run("ip", "link", "set", end, "netns", where)
            self.exec_in(where, "ip", "link", "set", end, "name", inner)
            self.exec_in(where, "sysctl", "-qw", "net.ipv6.conf.%s.accept_dad=0" % inner)
            self.exec_in(where, "ip", "link", "set", "lo", "up")
            self.exec_in(where, "ip", "addr", "add", "10.214.0.%d/24" % address, "dev", inner)
            self.exec_in(where, "ip", "link", "set", inner, "up")
        return ns

    def set_resolv_conf(self, ns, text):
        os.makedirs("/etc/netns/" + ns, exist_ok=True)
        with open("/etc/netns/%s/resolv.conf" % ns, "w") as f:
            f.write(text)

    def inside(self, host, make):
        return in_namespace(self.hosts[host], make)

    def set_link(self, host, up):
        self.exec_in(self.hosts[host], "ip", "link", "set", "eth0", "up" if up else "down")

    def env_of(self, host):
        daemon = self.daemons.get(host)
        return dict(daemon.env) if daemon else dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=NO_BUS)

    def spawn(self, host, argv, stderr_to_file=True, stdin_pipe=False, env=None):
        ns = self.hosts[host]
        if env is None:
            env = self.env_of(host)
        err = open(os.devnull, "w")
        path = None
        if stderr_to_file:
            path = "/tmp/lanbeacon-e2e-%s-%d.err" % (self.tag, len(self.procs))
            err = open(path, "w+")
        proc = subprocess.Popen(["ip", "netns", "exec", ns] + emulated(argv), stdout=subprocess.PIPE,
                                stderr=err, stdin=subprocess.PIPE if stdin_pipe else subprocess.DEVNULL,
                                text=True, encoding="utf-8", errors="backslashreplace",
                                preexec_fn=_default_signals, env=env)
        self.procs.append(proc)
        if path:
            self.stderr_files[proc.pid] = path
        return proc

    def stderr_of(self, proc):
        path = self.stderr_files.get(proc.pid)
        if not path:
            return ""
        with open(path, encoding="utf-8", errors="backslashreplace") as f:
            return f.read()

    def wait_stderr(self, proc, predicate, timeout):
        deadline = time.time() + timeout
        while time.time() < deadline:
            text = self.stderr_of(proc)
            if predicate(text):
                return text
            time.sleep(0.02)
        return self.stderr_of(proc)

    def close(self):
        for daemon in self.daemons.values():
            daemon.close()
        for proc in self.procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGKILL)
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
        for path in self.stderr_files.values():
            try:
                os.unlink(path)
            except OSError:
                pass
        for ns in list(self.hosts.values()) + [self.switch]:
            run("ip", "netns", "del", ns, check=False)
            shutil.rmtree("/etc/netns/" + ns, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def emulated(argv):
    """argv with LANBEACON_EMULATOR (e.g. "qemu-arm-static -L /") put before the programs
    under test, which a cross build cannot exec directly."""
    prefix = os.environ.get("LANBEACON_EMULATOR", "").split()
    ours = {os.environ.get(name) for name in ("LANBEACON", "ZEROCONF_PROBE")} - {None, ""}
    out = []
    for arg in argv:
        if prefix and arg in ours:
            out.extend(prefix)
        out.append(arg)
    return out


class LabTestCase(unittest.TestCase):
    """A publishing host "pub" (10.213.0.1) and a client host "cli" (10.213.0.2) whose
    client browses service_type."""

    service_type = "_printer._tcp.local."
    daemon_hosts = ()
    with_client = True

    def setUp(self):
        self.lab = NetLab(self.daemon_hosts)
        self.addCleanup(self.lab.close)
        self.lab.add_host("pub", 1)
        self.lab.add_host("cli", 2)
        if self.with_client:
            self.client = Client(self.lab, "cli", self.service_type)

    def assertOwnStack(self, proc, own):
        """That proc runs an mDNS stack of its own (own) or goes through the daemon."""
        held = mdns_sockets(proc.pid)
        if own:
            self.assertGreater(held, 0, "no mDNS socket of its own")
        else:
            self.assertEqual(held, 0, "an mDNS stack of its own beside the daemon")
