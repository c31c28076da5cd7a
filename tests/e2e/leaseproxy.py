#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""An update server that grants short leases: stands in front of the real server, passes
every message on, and into the answer to an update that asked for an Update Lease
(RFC 9664, EDNS option 2) puts a lease of --lease seconds. One JSON line per message on
stdout: {"event": "update" | "query", "t": time, "lease": the lease asked for or null}.
Unsigned messages only: the lease changes the answer, which a TSIG would no longer cover.
With --servfail, every query of the first SECONDS is answered SERVFAIL instead, as a
resolver does whose upstream is not reachable yet; with --garbage, every query is answered
with its ID and bytes that are no DNS message.

    leaseproxy.py --listen ADDR --server ADDR [--lease SECONDS] [--servfail SECONDS] [--garbage]
"""
import argparse
import json
import socket
import time

import dns.edns
import dns.message
import dns.opcode
import dns.rcode

UPDATE_LEASE = 2


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--lease", type=int)
    parser.add_argument("--servfail", type=float, default=0)
    parser.add_argument("--garbage", action="store_true")
    args = parser.parse_args()
    listen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listen.bind((args.listen, 53))
    upstream = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    upstream.settimeout(2)
    print(json.dumps({"event": "ready"}), flush=True)
    servfail_until = time.time() + args.servfail
    while True:
        data, peer = listen.recvfrom(65535)
        if args.garbage:
            listen.sendto(data[:2] + b"\x81\x80\xff\xff" + bytes(20), peer)
            continue
        query = dns.message.from_wire(data)
        if time.time() < servfail_until:
            reply = dns.message.make_response(query)
            reply.set_rcode(dns.rcode.SERVFAIL)
            print(json.dumps({"event": "servfail", "t": time.time(), "lease": None}), flush=True)
            listen.sendto(reply.to_wire(), peer)
            continue
        asked = None
        for option in query.options:
            if option.otype == UPDATE_LEASE:
                asked = int.from_bytes(option.to_wire()[:4], "big")
        upstream.sendto(data, (args.server, 53))
        try:
            reply = upstream.recv(65535)
        except socket.timeout:
            continue
        is_update = query.opcode() == dns.opcode.UPDATE
        if is_update and asked is not None and args.lease is not None:
            answer = dns.message.from_wire(reply)
            answer.use_edns(0, options=[dns.edns.GenericOption(UPDATE_LEASE, args.lease.to_bytes(4, "big"))])
            reply = answer.to_wire()
        print(json.dumps({"event": "update" if is_update else "query", "t": time.time(), "lease": asked}),
              flush=True)
        listen.sendto(reply, peer)


if __name__ == "__main__":
    main()
