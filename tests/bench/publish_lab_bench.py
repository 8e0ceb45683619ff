#!/usr/bin/python3
"""hvl-scan --watch --publish at 1,000 printers: how long until a client on
another subnet sees them all in DNS (an empty zone at the start), in how
many UPDATE messages, and how long a TXT change takes to get there.

Builds the test lab (tests/lab): four hosts announcing 250 printers each
(distinct addresses), BIND with a dynamic zone, a client on a third subnet.
Prints a Markdown section for docs/benchmarks.md. Not a test. Needs root.

    sudo tests/bench/publish_lab_bench.py [--hvl-scan build/default/cli/hvl-scan] [--interval 5] [--per-host 250]
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "lab"))
from lab import LAB_SH, Lab, skip_reason  # noqa: E402

DNS = "198.51.100.53"


def printers(n, h):
    return {"instances": [{"name": f"Printer {h}-{{i}}", "types": ["_printer._tcp"], "host": f"prn-{h}-{{i}}",
                           "addresses": [f"198.18.{h}.{{i}}"], "txt": ["ty=Bench", "note=first"],
                           "next_txt": ["ty=Bench", "note=changed"], "count": n}]}


def drill(lab, *args):
    return subprocess.run([LAB_SH, "exec", lab.name, "far", "--", "drill", "-t", f"@{DNS}", *args],
                          capture_output=True, text=True, timeout=30).stdout


def ptr_count(lab):
    return len(re.findall(r"\tPTR\t", drill(lab, "PTR", "_printer._tcp.floor1.sites.example")))


def server_datagrams(lab):
    """UDP datagrams and TCP connections the DNS server's namespace received so far."""
    ns = f"{os.environ.get('HVL_LAB_PREFIX', 'hvl')}-{lab.name}-dns"
    snmp = subprocess.run(["ip", "netns", "exec", ns, "cat", "/proc/net/snmp"],
                          capture_output=True, text=True, timeout=30).stdout.splitlines()
    rows = {}
    for names, values in zip(snmp[::2], snmp[1::2]):
        rows.update({f"{names.split()[0]}{n}": v for n, v in zip(names.split()[1:], values.split()[1:])})
    return int(rows["Udp:InDatagrams"]), int(rows["Tcp:PassiveOpens"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--hvl-scan", default=os.path.join(ROOT, "build", "default", "cli", "hvl-scan"))
    parser.add_argument("--interval", type=float, default=5.0)
    parser.add_argument("--per-host", type=int, default=250, help="printers each of the four hosts announces")
    args = parser.parse_args()
    if skip_reason():
        sys.exit(skip_reason())
    hosts = [f"p{i}" for i in range(1, 5)]
    with Lab("pubbench", hosts, cache_entries=16384) as lab, tempfile.TemporaryDirectory() as tmp:
        key = os.path.join(tmp, "key")
        text = subprocess.run(["tsig-keygen", "-a", "hmac-sha256", "floors"], capture_output=True, text=True).stdout
        with open(os.open(key, os.O_CREAT | os.O_WRONLY, 0o600), "w") as f:
            f.write(text)
        lab.dns(os.path.join(ROOT, "tests", "lab", "dns"), ["sites.example"], key=key, dynamic=["sites.example"])
        lab.link(2, ["far"])
        # Addresses of their own that answer the watch's liveness check (a refusal is an answer).
        for h, host in enumerate(hosts, 1):
            lab.exec(host, ["sh", "-c", f"for i in $(seq 1 {args.per_host}); do ip addr add 198.18.{h}.$i/32 dev eth0; done"])
        lab.exec_client(["ip", "route", "add", "198.18.0.0/16", "dev", "eth0"])
        pids = [lab.announce(host, printers(args.per_host, h), "bench") for h, host in enumerate(hosts, 1)]
        for h in range(1, 5):
            lab.wait_browse("_printer._tcp", f"Printer {h}-{args.per_host}", seconds=60)
        # One scan that publishes at its end (the scan itself ends at its 15 s bound).
        publish = ["--no-upnp", "--no-wsd", "--publish", "floor1.sites.example", "--publish-key", key]
        t0 = time.monotonic()
        lab.exec_client([args.hvl_scan, "--timeout", "15", *publish], timeout=120)
        visible = time.monotonic() - t0
        count = ptr_count(lab)
        log = open(os.path.join(lab.dir, "dns", "named.log"), encoding="utf-8", errors="replace").read()
        messages = len(set(re.findall(r"client @0x[0-9a-f]+ ([0-9.]+#\d+)/key floors: updating zone", log)))
        lab.spawn("client", [args.hvl_scan, "--watch", "--watch-interval", str(args.interval), *publish], tag="pub")
        time.sleep(2 * args.interval)  # its first round done
        watched = ptr_count(lab)
        # Rounds that change nothing: what reaches the server in 4 intervals, per round.
        before = server_datagrams(lab)
        time.sleep(4 * args.interval)
        after = server_datagrams(lab)
        per_round = [(b - a) / 4 for a, b in zip(before, after)]
        # A printer the watch publishes: the first PTR in DNS.
        name = re.search(r"\tPTR\t(\S+)\.\n", drill(lab, "PTR", "_printer._tcp.floor1.sites.example")).group(1)
        # A TXT change: every announcer's printers get a new note at once.
        t1 = time.monotonic()
        for pid in pids:
            os.kill(pid, signal.SIGHUP)
        while "note=changed" not in drill(lab, "TXT", name):
            time.sleep(0.2)
        changed = time.monotonic() - t1
        print(f"### hvl-scan --watch --publish: {4 * args.per_host:,} printers into an empty zone (interval {args.interval:g} s)\n")
        print("| Measure | Value |\n|---|---|")
        print(f"| a 15 s scan with --publish, start to exit ({count} PTRs in DNS then) | {visible:.1f} s |")
        print(f"| UPDATE messages (the first round, browse PTRs included) | {messages} |")
        print(f"| printers the watch lists and publishes after 2 intervals | {watched} |")
        print(f"| a TXT change announced to it seen in DNS | {changed:.1f} s (interval {args.interval:g} s) |")
        print(f"| an unchanged round: UDP datagrams / TCP connections to the server | {per_round[0]:g} / {per_round[1]:g} |")


if __name__ == "__main__":
    main()
