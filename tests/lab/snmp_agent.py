#!/usr/bin/python3
"""An old printer's SNMP agent for the lab, standard library only: SNMPv1
Get and GetNext for one community, values from a JSON file
{"oid": ["int"|"str"|"hex"|"oid", value]}; anything else (v2c included) is
left unanswered, as such agents do. Every datagram received is logged
("from ADDRESS:PORT"), answered or not, and "ready" once it listens.
--stuck-walk: a GetNext inside prtMarkerSuppliesTable answers the column's
first row again, never moving on. --bad-checksum: the first request for
hrPrinterStatus gets, instead of its answer, one UDP datagram with a wrong
checksum from the agent's address (a raw socket: root).

    snmp_agent.py DATA.json [--community public] [--port 161] [--stuck-walk] [--bad-checksum]
"""

import argparse
import json
import socket
import struct

SUPPLIES = (1, 3, 6, 1, 2, 1, 43, 11, 1, 1)
HR_PRINTER_STATUS = (1, 3, 6, 1, 2, 1, 25, 3, 5, 1, 1, 1)


def tlv(data, i):
    """(tag, value, next index) of the BER item at i."""
    tag, n, i = data[i], data[i + 1], i + 2
    if n & 0x80:
        n, i = int.from_bytes(data[i:i + (n & 0x7F)], "big"), i + (n & 0x7F)
    return tag, data[i:i + n], i + n


def enc(tag, payload):
    n = len(payload)
    size = bytes([n]) if n < 0x80 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + size + payload


def enc_int(n, tag=0x02):
    return enc(tag, n.to_bytes(max(1, (n.bit_length() + 8) // 8), "big", signed=True))


def dec_oid(b):
    oid, n = [b[0] // 40, b[0] % 40], 0
    for c in b[1:]:
        n = (n << 7) | (c & 0x7F)
        if not c & 0x80:
            oid.append(n)
            n = 0
    return tuple(oid)


def enc_oid(oid):
    out = bytearray([oid[0] * 40 + oid[1]])
    for n in oid[2:]:
        part = [n & 0x7F]
        while n > 0x7F:
            n >>= 7
            part.insert(0, 0x80 | (n & 0x7F))
        out += bytes(part)
    return enc(0x06, bytes(out))


def enc_value(kind, value):
    if kind == "int":
        return enc_int(value)
    if kind == "oid":
        return enc_oid(tuple(int(n) for n in value.split(".")))
    return enc(0x04, bytes.fromhex(value) if kind == "hex" else value.encode())


def answer(request, community, mib, stuck):
    """The v1 GetResponse to a request, or None to stay silent."""
    _, msg, _ = tlv(request, 0)
    _, version, i = tlv(msg, 0)
    _, got_community, i = tlv(msg, i)
    pdu_tag, pdu, _ = tlv(msg, i)
    if version != b"\x00" or got_community.decode(errors="replace") != community or pdu_tag not in (0xA0, 0xA1):
        return None, ()
    _, req_id, i = tlv(pdu, 0)
    i = tlv(pdu, tlv(pdu, i)[2])[2]  # error status and index of a request: 0
    _, bindings, _ = tlv(pdu, i)
    oids, i = [], 0
    while i < len(bindings):
        _, binding, i = tlv(bindings, i)
        oids.append(dec_oid(tlv(binding, 0)[1]))
    out, error = [], (0, 0)
    for n, oid in enumerate(oids, 1):
        if pdu_tag == 0xA1:
            key = oid[:len(SUPPLIES) + 1] if stuck and oid[:len(SUPPLIES)] == SUPPLIES else oid
            oid = next((o for o in sorted(mib) if o > key), None)
        if oid not in mib:
            error = error if error[0] else (2, n)  # noSuchName
            continue
        out.append(enc(0x30, enc_oid(oid) + enc_value(*mib[oid])))
    if error[0]:  # v1: the request's bindings back, with the error
        out = [enc(0x30, enc_oid(o) + b"\x05\x00") for o in oids]
    pdu = enc(0xA2, enc(0x02, req_id) + enc_int(error[0]) + enc_int(error[1]) + enc(0x30, b"".join(out)))
    return enc(0x30, enc_int(0) + enc(0x04, community.encode()) + pdu), oids


def send_bad_checksum(payload, source, to):
    """payload from source:161 to the asker, its UDP checksum off by one."""
    header = struct.pack("!HHHH", 161, to[1], 8 + len(payload), 0)
    data = socket.inet_aton(source) + socket.inet_aton(to[0]) + struct.pack("!BBH", 0, 17, 8 + len(payload))
    data += header + payload + b"\0" * (len(payload) % 2)
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    wrong = ((~total & 0xFFFF) + 1) & 0xFFFF or 1
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP) as raw:
        raw.sendto(header[:6] + struct.pack("!H", wrong) + payload, (to[0], 0))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("data")
    parser.add_argument("--community", default="public")
    parser.add_argument("--port", type=int, default=161)
    parser.add_argument("--stuck-walk", action="store_true")
    parser.add_argument("--bad-checksum", action="store_true")
    args = parser.parse_args()
    with open(args.data, encoding="utf-8") as f:
        mib = {tuple(int(n) for n in k.split(".")): tuple(v) for k, v in json.load(f).items()}
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    sock.bind(("0.0.0.0", args.port))
    print("ready", flush=True)
    bad_checksum = args.bad_checksum
    while True:
        request, sender = sock.recvfrom(65535)
        print(f"from {sender[0]}:{sender[1]}", flush=True)
        try:
            reply, oids = answer(request, args.community, mib, args.stuck_walk)
        except (IndexError, ValueError):
            continue
        if reply is None:
            continue
        if bad_checksum and HR_PRINTER_STATUS in oids:
            bad_checksum = False
            # the address the asker reached, as a reply from it would carry
            probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            probe.connect(sender)
            send_bad_checksum(reply, probe.getsockname()[0], sender)
            probe.close()
            continue
        sock.sendto(reply, sender)


if __name__ == "__main__":
    main()
