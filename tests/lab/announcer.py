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
     "txt": ["adminurl=http://x/", "note"],  # or {"key": "value"}
     "count": 250                      # optional: that many instances; "{i}"
                                       # (1..count) in name, host, addresses
                                       # and txt is replaced by the number
    }
  ]
}

--host-ttl SECONDS gives the SRV and A records that TTL (default 120): with
1, a SIGKILLed announcer leaves a "switched-off" printer in a client's cache
(the PTR record lives on, SRV and A expire at once).

"one_shot": false makes a responder that answers only queries from port
5353, as some printers' do: a one-shot query (RFC 6762 5.1) goes unanswered.

An entry's "next_txt" (a list as "txt") replaces its TXT on SIGHUP, as a
printer whose settings change announces it ("updated" is printed then).

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

import zeroconf._core
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


def expand(instances):
    """Instances with a "count" become that many, numbered from 1."""
    for inst in instances:
        n = inst.get("count")
        if n is None:
            yield inst
            continue
        for i in range(1, int(n) + 1):
            yield json.loads(json.dumps(inst).replace("{i}", str(i)))


def build_infos(desc, host_ttl):
    infos = []
    for inst in expand(desc["instances"]):
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
                host_ttl=host_ttl,
            )
            info.next_txt = inst.get("next_txt")
            infos.append(info)
    return infos


TRANSPORTS = {"ipv4": IPVersion.V4Only, "ipv6": IPVersion.V6Only, "both": IPVersion.All}


def answer_only_port_5353():
    received = zeroconf._core.AsyncListener.datagram_received

    def from_5353(self, data, addrs):
        if addrs[1] == 5353:
            received(self, data, addrs)

    zeroconf._core.AsyncListener.datagram_received = from_5353


async def run(desc, host_ttl):
    if desc.get("one_shot", True) is False:
        answer_only_port_5353()
    # "ipv6": a host that speaks mDNS over IPv6 only (the client's
    # avahi-daemon then needs a lab brought up with --ipv6).
    aiozc = AsyncZeroconf(ip_version=TRANSPORTS[desc.get("transport", "ipv4")])
    infos = build_infos(desc, host_ttl)
    # Probing takes ~0.8 s per instance; register them side by side (each
    # call probes before it returns its announcing task).
    tasks = await asyncio.gather(*(aiozc.async_register_service(i, allow_name_change=False) for i in infos))
    await asyncio.gather(*tasks)
    print("ready", len(infos), flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    hup = asyncio.Event()
    loop.add_signal_handler(signal.SIGHUP, hup.set)
    while not stop.is_set():
        await asyncio.wait([asyncio.create_task(e.wait()) for e in (stop, hup)], return_when=asyncio.FIRST_COMPLETED)
        if hup.is_set() and not stop.is_set():
            hup.clear()
            for info in (i for i in infos if i.next_txt is not None):
                info._set_text(txt_bytes(info.next_txt))
                await aiozc.async_update_service(info)
            print("updated", flush=True)
    await aiozc.async_unregister_all_services()
    await aiozc.async_close()
    print("gone", flush=True)


def main():
    args = sys.argv[1:]
    host_ttl = 120
    listing = False
    if len(args) == 3 and args[0] == "--host-ttl":
        host_ttl = int(args[1])
        args = args[2:]
    elif len(args) == 2 and args[0] == "--list":
        listing = True
        args = args[1:]
    if len(args) != 1:
        print("usage: announcer.py [--host-ttl SECONDS | --list] <description.json>", file=sys.stderr)
        return 2
    with open(args[0], encoding="utf-8") as f:
        desc = json.load(f)
    if listing:  # "type<TAB>name" per registration, for lab.sh
        for inst in expand(desc["instances"]):
            for stype in inst["types"]:
                print(f"{stype}\t{inst['name']}")
        return 0
    asyncio.run(run(desc, host_ttl))
    return 0


if __name__ == "__main__":
    sys.exit(main())
