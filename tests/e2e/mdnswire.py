# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Just enough of the DNS message format (RFC 1035, RFC 6762) to craft queries and
responses byte by byte and to read what is on the wire, for the robustness tests and the
benchmarks."""
import socket
import struct
import threading
import time

MDNS_GROUP = "224.0.0.251"
MDNS_PORT = 5353
A, PTR, TXT, AAAA, SRV, ANY = 1, 12, 16, 28, 33, 255
IN = 1
CACHE_FLUSH = 0x8000  # in the class of a record
QU = 0x8000  # in the class of a question


def name_bytes(name):
    """A name in uncompressed wire form; each label UTF-8, dots inside a label as '\\.'."""
    out = b""
    labels, label, i = [], "", 0
    while i < len(name):
        c = name[i]
        if c == "\\" and i + 1 < len(name):
            label += name[i + 1]
            i += 2
            continue
        if c == ".":
            labels.append(label)
            label = ""
        else:
            label += c
        i += 1
    if label:
        labels.append(label)
    for l in labels:
        raw = l.encode("utf-8")
        out += bytes([len(raw)]) + raw
    return out + b"\0"


def rr(name, rtype, rdata, ttl=120, rclass=IN, flush=False):
    return (name_bytes(name) + struct.pack("!HHIH", rtype, rclass | (CACHE_FLUSH if flush else 0), ttl, len(rdata))
            + rdata)


def srv_rdata(port, target, priority=0, weight=0):
    return struct.pack("!HHH", priority, weight, port) + name_bytes(target)


def txt_rdata(strings):
    out = b""
    for s in strings:
        raw = s.encode("utf-8") if isinstance(s, str) else s
        out += bytes([len(raw)]) + raw
    return out or b"\0"


def a_rdata(address):
    return socket.inet_aton(address)


def message(ident=0, flags=0, questions=(), answers=(), authority=(), additional=()):
    head = struct.pack("!HHHHHH", ident, flags, len(questions), len(answers), len(authority), len(additional))
    body = b""
    for name, qtype, qclass in questions:
        body += name_bytes(name) + struct.pack("!HH", qtype, qclass)
    return head + body + b"".join(answers) + b"".join(authority) + b"".join(additional)


def query(name, qtype, ident=0, unicast_response=False, authority=()):
    return message(ident, 0, [(name, qtype, IN | (QU if unicast_response else 0))], authority=authority)


def response(answers, ident=0, additional=()):
    return message(ident, 0x8400, answers=answers, additional=additional)


# ---- reading ----------------------------------------------------------------------------

class Malformed(Exception):
    pass


def _read_name(packet, offset):
    labels, jumps, end = [], 0, None
    while True:
        if offset >= len(packet):
            raise Malformed("name runs past the end")
        n = packet[offset]
        if n & 0xC0 == 0xC0:
            if offset + 1 >= len(packet):
                raise Malformed("truncated pointer")
            if end is None:
                end = offset + 2
            jumps += 1
            if jumps > 64:
                raise Malformed("pointer loop")
            offset = ((n & 0x3F) << 8) | packet[offset + 1]
            continue
        if n == 0:
            return ".".join(labels) + ".", (end if end is not None else offset + 1)
        if n > 63 or offset + 1 + n > len(packet):
            raise Malformed("bad label")
        labels.append(packet[offset + 1:offset + 1 + n].decode("utf-8", "backslashreplace").replace(".", "\\."))
        offset += 1 + n


def parse(packet):
    """A dict with id, flags, questions [(name, type, class)] and answers, authority,
    additional [dict(name, type, class, flush, ttl, data)]. Raises Malformed."""
    if len(packet) < 12:
        raise Malformed("short header")
    ident, flags, qd, an, ns, ar = struct.unpack("!HHHHHH", packet[:12])
    offset, questions = 12, []
    for _ in range(qd):
        name, offset = _read_name(packet, offset)
        if offset + 4 > len(packet):
            raise Malformed("short question")
        qtype, qclass = struct.unpack("!HH", packet[offset:offset + 4])
        questions.append((name, qtype, qclass))
        offset += 4
    sections = []
    for count in (an, ns, ar):
        records = []
        for _ in range(count):
            name, offset = _read_name(packet, offset)
            if offset + 10 > len(packet):
                raise Malformed("short record")
            rtype, rclass, ttl, length = struct.unpack("!HHIH", packet[offset:offset + 10])
            offset += 10
            if offset + length > len(packet):
                raise Malformed("rdata runs past the end")
            raw = packet[offset:offset + length]
            data = raw
            if rtype == PTR:
                data = _read_name(packet, offset)[0]
            elif rtype == SRV:
                data = (struct.unpack("!HHH", raw[:6]), _read_name(packet, offset + 6)[0])
            elif rtype == TXT:
                data, i = [], 0
                while i < len(raw):
                    data.append(raw[i + 1:i + 1 + raw[i]].decode("utf-8", "backslashreplace"))
                    i += 1 + raw[i]
            elif rtype == A and length == 4:
                data = socket.inet_ntoa(raw)
            elif rtype == AAAA and length == 16:
                data = socket.inet_ntop(socket.AF_INET6, raw)
            records.append(dict(name=name, type=rtype, **{"class": rclass & 0x7FFF}, flush=bool(rclass & CACHE_FLUSH),
                                ttl=ttl, data=data))
            offset += length
        sections.append(records)
    return dict(id=ident, flags=flags, questions=questions, answers=sections[0], authority=sections[1],
                additional=sections[2])


# ---- sockets -----------------------------------------------------------------------------

def multicast_socket(interface_address, port=MDNS_PORT, listen=True):
    """A UDP socket that sends to the mDNS group from interface_address and, bound to the
    mDNS port (shared), also receives what the group carries. With listen=False it is
    bound to interface_address alone and hears only what is sent to that address."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    s.bind(("" if listen else interface_address, port))
    if port == MDNS_PORT and listen:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     socket.inet_aton(MDNS_GROUP) + socket.inet_aton(interface_address))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(interface_address))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    return s


class Capture:
    """Records every mDNS packet the group carries: (time, source, parsed or None)."""

    def __init__(self, interface_address):
        self.sock = multicast_socket(interface_address)
        self.sock.settimeout(0.2)
        self.packets = []
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data, source = self.sock.recvfrom(9000)
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                parsed = parse(data)
            except Malformed:
                parsed = None
            with self.lock:
                self.packets.append((time.time(), source, parsed))

    def records(self, since=0.0):
        """(time, section, record) for every record of every response since the time."""
        with self.lock:
            packets = list(self.packets)
        out = []
        for t, _, p in packets:
            if t < since or p is None or not p["flags"] & 0x8000:
                continue
            for section in ("answers", "additional"):
                out.extend((t, section, r) for r in p[section])
        return out

    def close(self):
        self.running = False
        self.sock.close()
        self.thread.join(1)


def ask(sock, packet, destination, timeout=2.0):
    """Sends packet and waits for the first reply to this socket: (parsed, seconds) or
    (None, None)."""
    sent = time.time()
    sock.sendto(packet, destination)
    return await_reply(sock, sent, timeout)


def await_reply(sock, sent, timeout, accept=lambda parsed: True):
    """The first reply to this socket that accept takes, within timeout of sent:
    (parsed, seconds since sent) or (None, None)."""
    deadline = sent + timeout
    while time.time() < deadline:
        sock.settimeout(max(deadline - time.time(), 0.001))
        try:
            data, _ = sock.recvfrom(9000)
        except socket.timeout:
            break
        try:
            parsed = parse(data)
        except Malformed:
            continue
        if accept(parsed):
            return parsed, time.time() - sent
    return None, None


def unicast_socket(interface_address):
    """A socket on an ephemeral port: queries from it are legacy unicast (RFC 6762 s6.7)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    s.bind((interface_address, 0))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(interface_address))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
    return s


def malformed_packets(rng, service_name):
    """An endless mix of hostile packets, each kind in turn."""
    target = name_bytes(service_name)
    valid = response([rr(service_name, SRV, srv_rdata(1, "evil.local"), flush=True)])
    kinds = [
        # truncated at every length
        lambda: valid[:rng.randrange(1, len(valid))],
        # a compression pointer to itself, and a two-pointer loop
        lambda: struct.pack("!HHHHHH", 0, 0x8400, 1, 1, 0, 0) + b"\xc0\x0c" + struct.pack("!HH", PTR, IN)
        + b"\xc0\x0c" + struct.pack("!HHIH", PTR, IN, 120, 2) + b"\xc0\x0c",
        lambda: struct.pack("!HHHHHH", 0, 0, 1, 0, 0, 0) + b"\x01a\xc0\x12\x01b\xc0\x0c" + b"\x00\x0c\x00\x01",
        # a label longer than the packet, and an rdlength past the end
        lambda: struct.pack("!HHHHHH", 0, 0, 1, 0, 0, 0) + b"\x3fabc",
        lambda: struct.pack("!HHHHHH", 0, 0x8400, 0, 1, 0, 0) + target + struct.pack("!HHIH", SRV, IN, 120, 60000)
        + b"\0" * 8,
        # absurd counts
        lambda: struct.pack("!HHHHHH", rng.randrange(65536), 0x8400, 65535, 65535, 65535, 65535) + target,
        # random bytes
        lambda: bytes(rng.randrange(256) for _ in range(rng.randrange(0, 600))),
        # valid-looking answers with odd classes and types for our own name
        lambda: response([rr(service_name, rng.choice([SRV, TXT, A, 0, 65535]), b"\x00\x01\x02",
                             rclass=rng.choice([0, 2, 3, 254, 255, 0x7FFF]))]),
        # a pointer forward into nothing, and a reserved label type
        lambda: struct.pack("!HHHHHH", 0, 0, 1, 0, 0, 0) + b"\xc3\xff" + struct.pack("!HH", ANY, IN),
        lambda: struct.pack("!HHHHHH", 0, 0, 1, 0, 0, 0) + b"\x80abc\x00" + struct.pack("!HH", ANY, IN),
    ]
    i = 0
    while True:
        yield kinds[i % len(kinds)]()
        i += 1
