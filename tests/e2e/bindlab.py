# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""A real BIND 9 (or Knot DNS) in a namespace of the test network, for the wide-area tests.

BindServer writes named.conf, the zone and a tsig-keygen key into a private directory,
starts `named -f` in its own namespace and removes everything on close(). The zone
advertises itself as registration and browse domain (RFC 6763 section 11) and its update
server (_dns-update._udp SRV), and accepts updates signed with the key. A second zone,
plain.test, advertises nothing: a site without wide-area DNS-SD. KnotServer is the same
lab with knotd as the server.
"""
import os
import re
import shutil
import subprocess
import tempfile
import time

ZONE = "example.test."
PLAIN = "plain.test."

NAMED_CONF = """options {
    directory "%(dir)s";
    pid-file "%(dir)s/named.pid";
    session-keyfile "%(dir)s/session.key";
    managed-keys-directory "%(dir)s";
    listen-on { %(address)s; };
    listen-on-v6 { none; };
    recursion no;
    notify no;
    allow-transfer { any; };
};
include "%(dir)s/key.conf";
zone "example.test" { type primary; file "%(dir)s/example.db"; %(policy)s };
zone "plain.test" { type primary; file "%(dir)s/plain.db"; };
"""

ZONE_FILE = """$ORIGIN %(zone)s
$TTL 60
@ IN SOA ns1 hostmaster 1 3600 600 86400 60
@ IN NS ns1
ns1 IN A %(address)s
b._dns-sd._udp IN PTR @
db._dns-sd._udp IN PTR @
r._dns-sd._udp IN PTR @
dr._dns-sd._udp IN PTR @
_dns-update._udp IN SRV 0 0 53 %(updater)s
upd IN A %(updater_address)s
"""

PLAIN_FILE = """$ORIGIN %(zone)s
$TTL 60
@ IN SOA ns1 hostmaster 1 3600 600 86400 60
@ IN NS ns1
ns1 IN A %(address)s
"""


def keygen(name, algorithm="hmac-sha256"):
    return subprocess.run(["tsig-keygen", "-a", algorithm, name], check=True, stdout=subprocess.PIPE,
                          text=True).stdout


def with_other_secret(key_text):
    """The same key name and algorithm with another secret: the server answers BADSIG."""
    other = keygen("x", "hmac-sha256")
    secret = re.search(r'secret "([^"]+)"', other).group(1)
    return re.sub(r'secret "[^"]+"', 'secret "%s"' % secret, key_text)


class BindServer:
    def __init__(self, lab, host="dns", index=53, key_name="lanbeacon-key", algorithm="hmac-sha256",
                 by_address=False, update_server=None):
        """by_address: updates from the lab's addresses are allowed unsigned, instead of
        signed ones. update_server: the address that _dns-update._udp names (upd.<zone>),
        else the server itself (ns1)."""
        self.lab, self.host, self.algorithm = lab, host, algorithm
        self.by_address = by_address
        self.address = "10.213.0.%d" % index
        self.key_name = key_name
        self.dir = tempfile.mkdtemp(prefix="lanbeacon-named-")
        self.key_text = keygen(key_name, algorithm)
        self.key_file = self.write("key.conf", self.key_text, 0o600)
        self.write_config()
        self.write("example.db", ZONE_FILE % {"zone": ZONE, "address": self.address,
                                              "updater": "upd" if update_server else "ns1",
                                              "updater_address": update_server or self.address})
        self.write("plain.db", PLAIN_FILE % {"zone": PLAIN, "address": self.address})
        self.proc = None
        lab.add_host(host, index)

    def write_config(self):
        policy = ("allow-update { 10.213.0.0/24; };" if self.by_address else
                  "update-policy { grant %s zonesub ANY; };" % self.key_name)
        self.write("named.conf", NAMED_CONF % {"dir": self.dir, "address": self.address, "policy": policy})

    def command(self):
        return ["named", "-f", "-c", os.path.join(self.dir, "named.conf")]

    def write(self, name, text, mode=0o644):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def start(self):
        self.proc = self.lab.spawn(self.host, self.command())
        deadline = time.time() + 15
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("the server ended: " + self.lab.stderr_of(self.proc))
            if self.soa_serial(from_host=self.host) is not None:
                return
            time.sleep(0.1)
        raise RuntimeError("the server did not answer: " + self.lab.stderr_of(self.proc))

    def dig(self, *args, from_host="cli"):
        out = self.lab.exec_in(self.lab.hosts[from_host], "dig", "@" + self.address, "+time=1", "+tries=1",
                               "+noall", "+answer", *args, check=False)
        return out.stdout

    def soa_serial(self, from_host="cli"):
        for line in self.dig("+short", "SOA", ZONE, from_host=from_host).splitlines():
            fields = line.split()
            if len(fields) == 7 and fields[2].isdigit():
                return int(fields[2])
        return None

    def records(self, from_host="cli"):
        """Every record of the zone, as (owner, type, rdata) with the TTL left out."""
        result = set()
        for line in self.dig("AXFR", ZONE, from_host=from_host).splitlines():
            fields = line.split(None, 4)
            if len(fields) == 5 and fields[3] != "SOA":
                result.add((fields[0], fields[3], fields[4]))
        return result

    def service_records(self, from_host="cli"):
        """What a registration added: the zone's records less those it was made with."""
        return {r for r in self.records(from_host) if "_tcp" in r[0] or r[1] in ("A", "AAAA") and
                not r[0].startswith(("ns1.", "upd."))}

    def nsupdate(self, commands, from_host="cli"):
        script = "server %s\nzone %s\n%s\nsend\n" % (self.address, ZONE, commands)
        return subprocess.run(["ip", "netns", "exec", self.lab.hosts[from_host], "nsupdate", "-k", self.key_file],
                              input=script, text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)

    def fold(self, records):
        """records as this server gives them back: BIND keeps the case of names."""
        return set(records)

    def fold_name(self, name):
        return name

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


KNOT_CONF = """server:
    rundir: "%(dir)s"
    listen: %(address)s@53
log:
  - target: stderr
    any: warning
database:
    storage: "%(dir)s"
key:
  - id: %(key)s
    algorithm: %(algorithm)s
    secret: %(secret)s
acl:
  - id: update
    key: %(key)s
    action: update
  - id: transfer
    address: 0.0.0.0/0
    action: transfer
zone:
  - domain: example.test
    file: "%(dir)s/example.db"
    acl: [update, transfer]
    zonefile-sync: -1
  - domain: plain.test
    file: "%(dir)s/plain.db"
    acl: transfer
"""


class KnotServer(BindServer):
    def write_config(self):
        secret = re.search(r'secret "([^"]+)"', self.key_text).group(1)
        self.write("knot.conf", KNOT_CONF % {"dir": self.dir, "address": self.address, "key": self.key_name,
                                             "algorithm": self.algorithm, "secret": secret})

    def fold_name(self, name):
        # Knot stores names in lower case (RFC 4343 allows it); so the comparison does too.
        return name.lower()

    def fold(self, records):
        return {(o.lower(), t, r.lower() if t in ("PTR", "SRV") else r) for o, t, r in records}

    def command(self):
        return ["knotd", "-c", os.path.join(self.dir, "knot.conf")]

