#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""Another mDNS stack for the tests: python-zeroconf's own responder, publishing one
service until it is terminated, then unregistering it (goodbyes).

    dnssd_responder.py --name NAME --type _printer._tcp.local. --port 5853 \
        --host other.local. --address 10.213.0.1 [--txt key=value ...]

Prints "registered" once the service is announced. On SIGUSR1 it appends "updated=1"
to the TXT entries and announces the change ("updated").
"""
import argparse
import signal
import socket
import sys
import threading

from zeroconf import ServiceInfo, Zeroconf


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--name", required=True)
    parser.add_argument("--type", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--address", required=True)
    parser.add_argument("--txt", nargs="*", default=[])
    args = parser.parse_args()

    properties = {}
    for item in args.txt:
        key, eq, value = item.partition("=")
        properties[key.encode()] = value.encode() if eq else None
    info = ServiceInfo(args.type, "%s.%s" % (args.name, args.type), port=args.port,
                       properties=properties, server=args.host,
                       addresses=[socket.inet_aton(args.address)])
    zc = Zeroconf()
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    def update(*_):
        properties[b"updated"] = b"1"
        info._set_properties(properties)
        zc.update_service(info)
        print("updated", flush=True)

    zc.register_service(info, allow_name_change=False)
    signal.signal(signal.SIGUSR1, update)
    print("registered", flush=True)
    done.wait()
    zc.unregister_service(info)
    zc.close()
    sys.exit(0)


if __name__ == "__main__":
    main()
