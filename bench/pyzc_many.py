#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""python-zeroconf publishing N services from one process: one AsyncZeroconf, all N
registered at once.

    pyzc_many.py --count N --prefix Queue --type _printer._tcp.local. --host pyhost.local. \
        --address 10.213.0.1 [--txt key=value ...]

Prints "registered" once every service is announced, and runs until terminated.
"""
import argparse
import asyncio
import signal
import socket

from zeroconf.asyncio import AsyncServiceInfo, AsyncZeroconf


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--type", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--address", required=True)
    parser.add_argument("--txt", nargs="*", default=[])
    args = parser.parse_args()
    properties = {}
    for item in args.txt:
        key, _, value = item.partition("=")
        properties[key.encode()] = value.encode()
    infos = [AsyncServiceInfo(args.type, "%s %d.%s" % (args.prefix, i, args.type), port=5853,
                              properties=properties, server=args.host,
                              addresses=[socket.inet_aton(args.address)])
             for i in range(1, args.count + 1)]
    azc = AsyncZeroconf()
    done = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, done.set)
    # Probing is what each registration awaits first: start them all together.
    broadcasts = await asyncio.gather(*(azc.async_register_service(info) for info in infos))
    await asyncio.gather(*broadcasts)
    print("registered", flush=True)
    await done.wait()
    await azc.async_close()


if __name__ == "__main__":
    asyncio.run(main())
