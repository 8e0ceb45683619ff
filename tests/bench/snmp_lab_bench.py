#!/usr/bin/python3
"""How long hvl-scan --snmp takes on a lab subnet of 5 SNMP printers and 2
other SNMP hosts, by broadcast and with --subnet over the whole /24. CUPS's
snmp backend is timed beside it when installed, else its documented rule (it
ends 2 s after the last answer) is given. Medians of 3 runs; writes its
section of docs/benchmarks.md. Not a test. Needs root (the lab).

    sudo tests/bench/snmp_lab_bench.py [--hvl-scan build/default/cli/hvl-scan] [--runs 3]
"""

import argparse
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ipp_status_lab_bench import ROOT, Lab, skip_reason, timed_lines, write_section  # noqa: E402

BEGIN, END = "<!-- snmp-bench -->", "<!-- /snmp-bench -->"
CUPS_SNMP = "/usr/lib/cups/backend/snmp"
HOSTS = [f"p{i}" for i in range(1, 8)]


def agent(i):
    kind = "1.3.6.1.2.1.25.3.1.5" if i <= 5 else "1.3.6.1.2.1.25.3.1.3"  # printers, then two hosts
    return {"public": {"1.3.6.1.2.1.25.3.2.1.2.1": ("6", kind), "1.3.6.1.2.1.1.5.0": ("4", f"bench-{i}"),
                       "1.3.6.1.2.1.25.3.2.1.3.1": ("4", "Bench Laser")}}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hvl-scan", default=os.path.join(ROOT, "build", "default", "cli", "hvl-scan"))
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    if skip_reason():
        sys.exit(f"snmp_lab_bench: {skip_reason()}")
    scan = [os.path.abspath(args.hvl_scan), "--no-mdns", "--no-upnp", "--no-wsd", "--snmp"]
    results = {"broadcast": [], "--subnet 192.0.2.0/24": [], "CUPS snmp backend": []}
    with Lab("snb", HOSTS, avahi=False) as lab, tempfile.TemporaryDirectory() as cwd:
        for i, host in enumerate(HOSTS, 1):
            lab.snmp(host, agent(i))
        for _ in range(args.runs):
            for name, argv in (("broadcast", scan), ("--subnet 192.0.2.0/24", scan + ["--subnet", "192.0.2.0/24"]),
                               ("CUPS snmp backend", [CUPS_SNMP] if os.path.exists(CUPS_SNMP) else None)):
                if argv:
                    lines, done = timed_lines(lab, argv, cwd)
                    rows = [at for at, line in lines if "192.0.2." in line]
                    results[name].append((rows[-1] if rows else 0, done, len(rows)))
                    print(f"{name}: last row {results[name][-1][0]:.2f} s, done {done:.2f} s, {len(rows)} rows")
    write_docs(results)


def write_docs(results):
    med = statistics.median
    table = ""
    for name, runs in results.items():
        if runs:
            table += (f"| {name} | {med(r[0] for r in runs):.2f} s | {med(r[1] for r in runs):.2f} s | "
                      f"{med(r[2] for r in runs)} |\n")
    if not results["CUPS snmp backend"]:
        last = med(r[0] for r in results["broadcast"])
        table += f"| CUPS snmp backend (not installed: its 2 s after the last answer) | – | {last + 2:.2f} s | – |\n"
    section = f"""{BEGIN}
## hvl-scan --snmp: 5 printers and 2 other SNMP hosts

Written by `sudo tests/bench/snmp_lab_bench.py` (medians of {len(results["broadcast"])} runs,
`hvl-scan --no-mdns --no-upnp --no-wsd --snmp`; snmpsimd agents). Goal: every printer listed
≤ 1.0 s, done ≤ 2.0 s; `--subnet` over a /24 with 5 printers done ≤ 3 s.

| | last printer listed | done | rows |
|---|---|---|---|
{table}
The broadcast is done after 1.5 s without an answer. `--subnet` asks 64 addresses at a time,
each bounded 1 s (one retry at 0.5 s): the 247 silent addresses of the /24 take four such
rounds, so it cannot end before 4 s without asking more addresses at once.
{END}
"""
    write_section(BEGIN, END, section)

if __name__ == "__main__":
    main()
