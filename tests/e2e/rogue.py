# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""A hostile or impolite responder on another host, for the conflict tests."""
import threading
import time

import mdnswire as w


class Rogue:
    """Claims DNS-SD names with records of its own.

    claims: {instance full name: (srv rdata, txt rdata)} answered whenever asked and
    announced at start. With answer_every_probe, every probe for any name is answered
    with a claim of that name, as a host would that wants every name.
    """

    def __init__(self, lab, host, address, claims, answer_every_probe=False, rogue_host="rogue.local."):
        self.address = address
        self.rogue_host = rogue_host
        self.claims = dict(claims)
        self.answer_every_probe = answer_every_probe
        self.sock = lab.inside(host, lambda: w.multicast_socket(address))
        self.sock.settimeout(0.2)
        # When each name was claimed: those given, at the first announcement below (a
        # conflict for whoever holds them), and each probed one when it is answered.
        self.claimed_at = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        self.claimed_at += [time.time()] * len(self.claims)
        for _ in range(2):
            self.announce()

    def records_for(self, name):
        srv, txt = self.claims[name]
        return [w.rr(name, w.SRV, srv, flush=True), w.rr(name, w.TXT, txt, ttl=4500, flush=True)]

    def announce(self):
        answers = []
        for name in self.claims:
            answers += self.records_for(name)
        if answers:
            address = w.rr(self.rogue_host, w.A, w.a_rdata(self.address), flush=True)
            self.sock.sendto(w.response(answers, additional=[address]), (w.MDNS_GROUP, w.MDNS_PORT))

    def _run(self):
        while self.running:
            try:
                data, _ = self.sock.recvfrom(9000)
                p = w.parse(data)
            except (OSError, w.Malformed):
                continue
            if p["flags"] & 0x8000:
                continue
            answers = []
            for name, qtype, _ in p["questions"]:
                if name not in self.claims and self.answer_every_probe and p["authority"] and qtype == w.ANY \
                        and "._tcp.local" in name:
                    self.claims[name] = (w.srv_rdata(9, self.rogue_host), w.txt_rdata(["rogue=1"]))
                    self.claimed_at.append(time.time())
                if name in self.claims:
                    answers += self.records_for(name)
            if answers:
                try:
                    self.sock.sendto(w.response(answers), (w.MDNS_GROUP, w.MDNS_PORT))
                except OSError:
                    pass

    def close(self):
        self.running = False
        self.thread.join(1)
        self.sock.close()
