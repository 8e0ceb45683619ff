#!/usr/bin/python3
"""A hostile mDNS responder, inside a lab namespace: it answers every
one-shot query (one from a port other than 5353) with a flood of COUNT
packets, each naming an instance of the type asked on another host:
"Flood N" on host flood-N at 203.0.113.(N % 250 + 1). With --delay it
answers each query that many seconds late, as a busy printer may; --name
and --net give its instances another name and /24.

usage: mdns_flood.py COUNT [--delay SECONDS] [--name NAME] [--net A.B.C]

Prints "ready" once it listens and "flooded N" after each flood.
"""

import argparse
import os
import socket
import struct
import sys
import time

from zeroconf import DNSAddress, DNSIncoming, DNSOutgoing, DNSPointer, DNSService, DNSText, const


def answer(qtype, instance, host, address):
    out = DNSOutgoing(const._FLAGS_QR_RESPONSE | const._FLAGS_AA, multicast=False, id_=0)
    full = f"{instance}.{qtype}"
    out.add_answer_at_time(DNSPointer(qtype, const._TYPE_PTR, const._CLASS_IN, 120, full), 0)
    out.add_additional_answer(DNSService(full, const._TYPE_SRV, const._CLASS_IN, 120, 0, 0, 631, host))
    out.add_additional_answer(DNSText(full, const._TYPE_TXT, const._CLASS_IN, 120, b"\x08ty=Flood"))
    out.add_additional_answer(DNSAddress(host, const._TYPE_A, const._CLASS_IN, 120, socket.inet_aton(address)))
    return out.packets()[0]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("count", type=int)
    ap.add_argument("--delay", type=float, default=0)
    ap.add_argument("--name", default="Flood")
    ap.add_argument("--net", default="203.0.113")
    args = ap.parse_args()
    count, name = args.count, args.name
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    sock.bind(("", 5353))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                    struct.pack("4s4s", socket.inet_aton("224.0.0.251"), socket.inet_aton(os.environ["HVL_LAB_IP"])))
    print("ready", flush=True)
    while True:
        data, peer = sock.recvfrom(9000)
        if peer[1] == 5353:
            continue
        msg = DNSIncoming(data)
        for question in msg.questions if msg.valid and msg.is_query() else ():
            if question.type != const._TYPE_PTR:
                continue
            qtype = question.name
            time.sleep(args.delay)
            for n in range(count):
                host = f"{name.lower()}-{n}.local."
                sock.sendto(answer(qtype, f"{name} {n}", host, f"{args.net}.{n % 250 + 1}"), peer)
            print("flooded", count, flush=True)


if __name__ == "__main__":
    sys.exit(main())
