#!/usr/bin/python3
"""Announces DNS-SD service instances with python3-zeroconf, inside a lab
namespace, from a small JSON description:

{
  "instances": [
    {"name": "Office Laser",
     "types": ["_printer._tcp", "_pdl-datastream._tcp"],
     "host": "office-laser",          # host target, ".local." is added
     "port": 515,                      # optional, default 515
     "addresses": ["192.0.2.10"],      # optional, default: this host's IPv4;
                                       # IPv6 text makes an IPv6-only host
     "txt": ["adminurl=http://x/", "note"]   # or {"key": "value"}
    }
  ]
}

Prints "ready" once every instance is registered; on SIGTERM or SIGINT it
unregisters them (goodbye packets) and exits. SIGKILL leaves no goodbye.
"""

import asyncio
import ipaddress
import json
import os
import signal
import socket
import sys

from zeroconf import IPVersion
from zeroconf.asyncio import AsyncServiceInfo, AsyncZeroconf


def own_ipv4():
    addr = os.environ.get("HVL_LAB_IP")
    if addr:
        return addr
    # Fallback: the address a socket towards the lab subnet would use.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.connect(("192.0.2.255", 9))
        return s.getsockname()[0]


def txt_bytes(txt):
    """TXT items as raw strings: 'key=value', 'key' (no value) or a dict."""
    if txt is None:
        return b""
    items = []
    if isinstance(txt, dict):
        items = [f"{k}={v}" if v is not None else k for k, v in txt.items()]
    else:
        items = list(txt)
    out = bytearray()
    for item in items:
        raw = item.encode("utf-8")
        if len(raw) > 255:
            raise ValueError(f"TXT item longer than 255 bytes: {item[:40]}...")
        out.append(len(raw))
        out += raw
    return bytes(out)


def build_infos(desc):
    infos = []
    for inst in desc["instances"]:
        addrs = inst.get("addresses") or [own_ipv4()]
        packed = [ipaddress.ip_address(a).packed for a in addrs]
        host = inst.get("host", "lab-printer")
        server = host if host.endswith(".") else host + ".local."
        for stype in inst["types"]:
            full_type = stype.rstrip(".") + ".local."
            info = AsyncServiceInfo(
                full_type,
                f"{inst['name']}.{full_type}",
                port=int(inst.get("port", 515)),
                server=server,
                addresses=packed,
                # Raw TXT, so keys keep their letter case and order as written.
                properties=txt_bytes(inst.get("txt")),
            )
            infos.append(info)
    return infos


async def run(desc):
    aiozc = AsyncZeroconf(ip_version=IPVersion.V4Only)
    infos = build_infos(desc)
    # Probing takes ~0.8 s per instance; register them side by side.
    tasks = [await aiozc.async_register_service(i, allow_name_change=False) for i in infos]
    await asyncio.gather(*tasks)
    print("ready", len(infos), flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    await aiozc.async_unregister_all_services()
    await aiozc.async_close()
    print("gone", flush=True)


def main():
    if len(sys.argv) != 2:
        print("usage: announcer.py <description.json>", file=sys.stderr)
        return 2
    with open(sys.argv[1], encoding="utf-8") as f:
        desc = json.load(f)
    asyncio.run(run(desc))
    return 0


if __name__ == "__main__":
    sys.exit(main())
