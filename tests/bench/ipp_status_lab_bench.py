#!/usr/bin/python3
"""How long hvl-scan --status takes on a lab network of 20 ippeveprinters and
5 printers that never answer, beside asking them one at a time with ipptool.

Each ippeveprinter listens on a port of its own and is announced (_ipp._tcp)
at an address of its own; the silent ones are announced on a host that drops
everything it sends from port 631. Three runs each of `hvl-scan --ipp`,
`hvl-scan --ipp --status` and a sequential ipptool loop (5 s bound each, as
--status-timeout); medians are reported. Writes its section of
docs/benchmarks.md (between its markers). Not a test. Needs root (the lab).

    sudo tests/bench/ipp_status_lab_bench.py [--hvl-scan build/default/cli/hvl-scan] [--runs 3]
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "lab"))
from lab import LAB_SH, Lab, skip_reason  # noqa: E402

LIVE, SILENT, BOUND = 20, 5, 5
BEGIN, END = "<!-- ipp-status-bench -->", "<!-- /ipp-status-bench -->"


def announced(count, first_ip, port):
    return {"instances": [{"name": f"Bench {first_ip + i}", "types": ["_ipp._tcp"], "host": f"bench-{first_ip + i}",
                           "addresses": [f"192.0.2.{first_ip + i}"], "port": port(i), "txt": ["rp=ipp/print"]}
                          for i in range(count)]}


def timed_lines(lab, argv, cwd):
    """Every output line with its time since the start, and the total time."""
    t0 = time.monotonic()
    p = subprocess.Popen([LAB_SH, "exec-client", lab.name, "--", *argv], cwd=cwd, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True, bufsize=1)
    lines = [(time.monotonic() - t0, line.rstrip("\n")) for line in p.stdout]
    p.wait(timeout=120)
    return lines, time.monotonic() - t0


def sequential(lab, cwd, targets):
    """ipptool, one printer after the other, each bounded as --status is."""
    t0 = time.monotonic()
    for uri in targets:
        subprocess.run([LAB_SH, "exec-client", lab.name, "--", "ipptool", "-T", str(BOUND), uri,
                        "get-printer-attributes.test"], cwd=cwd, capture_output=True, timeout=60)
    return time.monotonic() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hvl-scan", default=os.path.join(ROOT, "build", "default", "cli", "hvl-scan"))
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    if skip_reason():
        sys.exit(f"ipp_status_lab_bench: {skip_reason()}")
    hvl_scan = os.path.abspath(args.hvl_scan)
    with Lab("ipb", ["p1", "p2", "p3"]) as lab, tempfile.TemporaryDirectory() as cwd:
        for i in range(LIVE):  # a later -p overrides the helper's 631
            lab.ippeveprinter("p1", f"Eve {i + 1}", tag=f"eve{i + 1}", args=["-p", str(8001 + i)])
        for i in range(LIVE):
            lab.exec("p1", ["ip", "addr", "add", f"192.0.2.{100 + i}/32", "dev", "lo"]).check_returncode()
        for i in range(SILENT):
            lab.exec("p3", ["ip", "addr", "add", f"192.0.2.{130 + i}/32", "dev", "lo"]).check_returncode()
        lab.exec("p3", ["ip", "rule", "add", "ipproto", "tcp", "sport", "631", "blackhole"]).check_returncode()
        lab.announce("p2", announced(LIVE, 100, lambda i: 8001 + i), tag="eves")
        lab.announce("p3", announced(SILENT, 130, lambda i: 631), tag="silent")
        lab.wait_browse("_ipp._tcp", f"Bench {100 + LIVE - 1}", 15)
        lab.wait_browse("_ipp._tcp", f"Bench {130 + SILENT - 1}", 15)

        plain, status, seq, answers = [], [], [], []
        for _ in range(args.runs):
            _, t = timed_lines(lab, [hvl_scan, "--no-upnp", "--ipp"], cwd)
            plain.append(t)
            lines, t = timed_lines(lab, [hvl_scan, "--no-upnp", "--ipp", "--status"], cwd)
            status.append(t)
            answers.append(sorted(at for at, s in lines if re.search(r"  (idle|printing|stopped)( |$)", s)))
            silent = [at for at, s in lines if s.endswith("  no answer")]
            print(f"scan {plain[-1]:.2f} s, --status {t:.2f} s ({len(answers[-1])} answered, "
                  f"{len(silent)} no answer)", flush=True)
        targets = [f"ipp://192.0.2.{100 + i}:{8001 + i}/ipp/print" for i in range(LIVE)]
        targets += [f"ipp://192.0.2.{130 + i}:631/ipp/print" for i in range(SILENT)]
        for _ in range(args.runs):
            seq.append(sequential(lab, cwd, targets))
            print(f"ipptool one at a time {seq[-1]:.2f} s", flush=True)
    write_docs(plain, status, seq, answers)


def write_docs(plain, status, seq, answers):
    med = statistics.median
    last_answer = med([a[-1] for a in answers if a] or [0])
    section = f"""{BEGIN}
## hvl-scan --status: 20 ippeveprinters and 5 that never answer

Written by `sudo tests/bench/ipp_status_lab_bench.py` ({len(plain)} runs, medians; live scan with
`--no-upnp --ipp`, default `--status-timeout` of {BOUND} s). The 20 printers are CUPS's ippeveprinter,
each announced as `_ipp._tcp` at an address and port of its own; the 5 silent ones are announced on a
host that drops everything it sends from port 631.

| | Time |
|---|---|
| `hvl-scan --ipp` (no status) | {med(plain):.2f} s |
| `hvl-scan --ipp --status` | {med(status):.2f} s |
| last ippeveprinter's status line | {last_answer:.2f} s after the start |
| `ipptool -T {BOUND}` Get-Printer-Attributes, one printer after the other | {med(seq):.2f} s |

The silent printers cost one bound, side by side ({BOUND} s after each was listed), not one each;
one at a time, ipptool's connect to each silent printer waits about 30 s whatever its `-T`.
{END}
"""
    write_section(BEGIN, END, section)


def write_section(begin, end, section):
    """Replaces the section between the markers in docs/benchmarks.md (or appends it)."""
    path = os.path.join(ROOT, "docs", "benchmarks.md")
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if begin in text and end in text:
        text = text[:text.index(begin)] + section + text[text.index(end) + len(end) + 1:]
    else:
        text = text.rstrip("\n") + "\n\n" + section
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
