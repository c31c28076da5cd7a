#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""An independent DNS-SD client for the end-to-end tests.

Browses one service type with python-zeroconf and prints one JSON line per event on
stdout, flushed at once:

  {"event": "resolved", "t": <unix time>, "name": ..., "port": ..., "server": ...,
   "addresses": [...], "txt": [...raw strings in wire order...]}
  {"event": "removed", "t": <unix time>, "name": ...}

"resolved" is printed when the SRV, the TXT and at least one address are all held, and
again whenever one of them changes (known services are looked at twice a second). It runs until --seconds have passed or it is
terminated.
"""
import argparse
import json
import sys
import threading
import time

from zeroconf import EventLoopBlocked, ServiceBrowser, ServiceInfo, ServiceStateChange, Zeroconf

out_lock = threading.Lock()


def emit(**fields):
    fields.setdefault("t", time.time())
    with out_lock:
        sys.stdout.write(json.dumps(fields, ensure_ascii=False) + "\n")
        sys.stdout.flush()


def txt_strings(raw):
    """The character-strings of a TXT rdata, in wire order, as text."""
    strings, i = [], 0
    while raw and i < len(raw):
        n = raw[i]
        strings.append(raw[i + 1:i + 1 + n].decode("utf-8", "backslashreplace"))
        i += 1 + n
    return strings


def instance_of(full_name, service_type):
    suffix = "." + service_type
    return full_name[:-len(suffix)] if full_name.endswith(suffix) else full_name


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--type", required=True, help="for example _printer._tcp.local.")
    parser.add_argument("--seconds", type=float, default=30.0)
    args = parser.parse_args()

    zc = Zeroconf()
    last = {}
    # A subtype ("_universal._sub._ipp._tcp.local.") lists instances of the base type.
    base_type = args.type.split("._sub.", 1)[-1]

    def resolve(name, attempts=6):
        for _ in range(attempts):
            info = ServiceInfo(base_type, name)
            # ServiceInfo starts with an empty TXT and counts itself complete once it has an
            # address: it then neither waits nor asks for the TXT, and a service whose TXT
            # answer it had not taken in yet came out resolved with none. None makes it
            # wait for a TXT record, and ask for it while there is none.
            info.text = None
            try:
                found = info.request(zc, 1500)
            except EventLoopBlocked:
                # Its event loop busy (a thousand services resolving): an attempt lost,
                # where it used to end this thread, and with it the look every 0.5 s.
                continue
            if found and info.addresses_by_version:
                record = {
                    "name": instance_of(name, base_type),
                    "port": info.port,
                    "server": info.server,
                    "addresses": sorted(info.parsed_scoped_addresses()),
                    "txt": txt_strings(info.text),
                }
                key = json.dumps(record, sort_keys=True)
                if last.get(name) != key:
                    last[name] = key
                    emit(event="resolved", **record)
                return

    def on_change(zeroconf, service_type, name, state_change):
        if state_change is ServiceStateChange.Removed:
            last.pop(name, None)
            emit(event="removed", name=instance_of(name, base_type))
        else:
            threading.Thread(target=resolve, args=(name,), daemon=True).start()

    ServiceBrowser(zc, args.type, handlers=[on_change])
    emit(event="browsing")

    # A cache-flush announcement changes a service without a browser event (a new
    # address replaces the old one a second later): look again at what is known.
    def refresh():
        while True:
            time.sleep(0.5)
            for name in list(last):
                resolve(name, attempts=1)

    threading.Thread(target=refresh, daemon=True).start()
    try:
        time.sleep(args.seconds)
    except KeyboardInterrupt:
        pass
    finally:
        zc.close()


if __name__ == "__main__":
    main()
