#!/usr/bin/python3
"""Reads `avahi-browse -p` lines on stdin; exits 0 when an added instance
has the name given as the argument (avahi-browse writes bytes as \\DDD)."""
import re
import sys


def unescape(field):
    raw = re.sub(rb"\\(\d{3})", lambda m: bytes([int(m.group(1))]), field.encode("utf-8"))
    raw = re.sub(rb"\\(.)", rb"\1", raw)
    return raw.decode("utf-8", "replace")


want = sys.argv[1]
found = any(
    len(parts) > 3 and parts[0] == "+" and unescape(parts[3]) == want
    for parts in (line.rstrip("\n").split(";") for line in sys.stdin)
)
sys.exit(0 if found else 1)
