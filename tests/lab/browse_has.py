#!/usr/bin/python3
"""Reads `avahi-browse -p` lines on stdin; exits 0 when every name given as
an argument is among the added instances (avahi-browse writes bytes as
\\DDD)."""
import re
import sys


def unescape(field):
    raw = re.sub(rb"\\(\d{3})", lambda m: bytes([int(m.group(1))]), field.encode("utf-8"))
    raw = re.sub(rb"\\(.)", rb"\1", raw)
    return raw.decode("utf-8", "replace")


seen = {
    unescape(parts[3])
    for parts in (line.rstrip("\n").split(";") for line in sys.stdin)
    if len(parts) > 3 and parts[0] == "+"
}
sys.exit(0 if set(sys.argv[1:]) <= seen else 1)
