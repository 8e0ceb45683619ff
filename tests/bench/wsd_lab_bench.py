#!/usr/bin/python3
"""How long hvl-scan takes to list WS-Discovery printers (the lab's responder,
tests/lab/wsd_responder.py): the hvl-scan lab test's devices, then 60
printers at addresses of their own, beside the lab's reference for Windows'
behaviour: one Probe, each ProbeMatch listed as it comes, done when its 4 s
ProbeMatch window closes. Started together in the client namespace; medians
of 3 runs. Writes its section of docs/benchmarks.md. Not a test; needs root.
    sudo tests/bench/wsd_lab_bench.py [--hvl-scan build/default/cli/hvl-scan]"""
import os, statistics, subprocess, sys, threading, time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path[:0] = [os.path.join(ROOT, "tests", "lab"), os.path.join(ROOT, "tests", "cli")]
from lab import LAB_SH, Lab, skip_reason  # noqa: E402
from hvl_scan_lab_test import PRINT, WSD_DEVICES, wsd_device  # noqa: E402

BEGIN, END = "<!-- wsd-bench -->", "<!-- /wsd-bench -->"
REFERENCE = """import socket, sys, time, uuid
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("192.0.2.1"))
s.sendto(open(sys.argv[1], "rb").read().replace(b"@@", str(uuid.uuid4()).encode()), ("239.255.255.250", 3702)); end = time.monotonic() + 4
while time.monotonic() < end:
    s.settimeout(end - time.monotonic())
    try: s.recv(65536); print("match", flush=True)
    except socket.timeout: pass"""
PROBE = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope" xmlns:a="http://schemas.'
         'xmlsoap.org/ws/2004/08/addressing" xmlns:d="http://schemas.xmlsoap.org/ws/2005/04/discovery" xmlns:p="http:/'
         '/schemas.microsoft.com/windows/2006/08/wdp/print"><s:Header><a:Action>http://schemas.xmlsoap.org/ws/2005/04/'
         'discovery/Probe</a:Action><a:MessageID>urn:uuid:@@</a:MessageID></s:Header><s:Body><d:Probe><d:Types>'
         'p:PrintDeviceType</d:Types></d:Probe></s:Body></s:Envelope>')


def timed(lab, argv, out):
    t0 = time.monotonic()
    p = subprocess.Popen([LAB_SH, "exec-client", lab.name, "--", *argv], stdout=subprocess.PIPE, text=True)
    rows = [time.monotonic() - t0 for line in p.stdout if " found." not in line]
    p.wait()
    out.append((rows[0] if rows else 0, rows[-1] if rows else 0, len(rows), time.monotonic() - t0))


def scenario(lab, hvl_scan, probe):
    runs = []
    for _ in range(3):
        res = {"hvl": [], "ref": []}
        threads = [threading.Thread(target=timed, args=(lab, [hvl_scan, "--no-mdns", "--no-upnp"], res["hvl"])),
                   threading.Thread(target=timed, args=(lab, ["python3", "-c", REFERENCE, probe], res["ref"]))]
        [t.start() for t in threads] and [t.join() for t in threads]
        runs.append(res)
    return {k: [statistics.median(r[k][0][i] for r in runs) for i in range(4)] for k in ("hvl", "ref")}


def main():
    hvl_scan = os.path.abspath(sys.argv[sys.argv.index("--hvl-scan") + 1] if "--hvl-scan" in sys.argv else
                               os.path.join(ROOT, "build", "default", "cli", "hvl-scan"))
    if skip_reason():
        sys.exit(f"wsd_lab_bench: {skip_reason()}")
    many = {"devices": [wsd_device(0, PRINT, uuid=f"7e1a0000-0000-4000-8000-0000000001{i:02}",
                                   address=f"192.0.2.{100 + i}", metadata={"FriendlyName": f"P{i}"}) for i in range(60)]}
    results = {}
    for key, devices in (("lab", WSD_DEVICES), ("60", many)):
        with Lab("wsdb", ["p1"], avahi=False) as lab:
            lab.wsd("p1", devices)
            probe = os.path.join(lab.dir, "probe.xml")
            open(probe, "w").write(PROBE)
            results[key] = scenario(lab, hvl_scan, probe)
    table = ["| | hvl-scan: first row | last row | rows | done | reference: first match | last | matches | done |",
             "|---|---|---|---|---|---|---|---|---|"]
    for key, title in (("lab", "the lab test's 7 devices (5 printers)"), ("60", "60 printers")):
        cells = [f"{v:g}" if i == 2 else f"{v:.2f} s" for part in ("hvl", "ref") for i, v in enumerate(results[key][part])]
        table.append(f"| {title} | " + " | ".join(cells) + " |")
    section = "\n".join([BEGIN, "## WS-Discovery printers", "", "Written by `sudo tests/bench/wsd_lab_bench.py` "
                         "(medians of 3 runs, `hvl-scan --no-mdns --no-upnp`). Goal: every WSD printer listed ≤ 1.0 s "
                         "after the start, done ≤ 2.0 s (one printer's metadata never answers in the first "
                         "scenario: it is listed at its 2 s bound).", ""] + table + [END]) + "\n"
    path = os.path.join(ROOT, "docs", "benchmarks.md")
    text = open(path, encoding="utf-8").read()
    text = text[:text.index(BEGIN)] + section + text[text.index(END) + len(END) + 1:] if BEGIN in text else \
        text.rstrip("\n") + "\n\n" + section
    open(path, "w", encoding="utf-8").write(text)


if __name__ == "__main__":
    main()
