#!/usr/bin/python3
"""How long an mDNS scan takes on a lab network, beside avahi-browse.

Builds the test lab (tests/lab), and in each scenario runs, side by side and
started together in the lab's client namespace, `hvl-scan --no-upnp` and
`avahi-browse -rpt` for each of the two service types, time-stamping every
output line as it arrives. Three runs per scenario; medians are reported.
Writes docs/benchmarks.md and docs/scan-timeline.png (gnuplot). Not a test:
nothing here passes or fails. Needs root (the lab).

    sudo tests/bench/mdns_lab_bench.py [--hvl-scan build/default/cli/hvl-scan] [--runs 3]
"""

import argparse
import os
import platform
import re
import selectors
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "lab"))
from lab import LAB_SH, Lab, skip_reason  # noqa: E402

TYPES = ("_printer._tcp", "_pdl-datastream._tcp")
FLOOR = 8.0  # two passes, each ended by a 4 s browse silence
KILL_AT = 5.0  # into the scan: the first pass's resolves are under way
COUNT_RE = re.compile(r"^\d+ devices? found\.$")


def live(n):
    return {"instances": [{"name": "Printer {i}", "types": ["_printer._tcp"], "host": "prn-{i}",
                           "addresses": ["198.51.100.{i}"], "count": n}]}


def switched_off(n):
    return {"instances": [{"name": "Off {i}", "types": ["_printer._tcp"], "host": "off-{i}",
                           "addresses": ["203.0.113.{i}"], "count": n}]}


def run_once(lab, hvl_scan, kill_at=None):
    """One side-by-side run; every output line with its time since the start."""
    cwd = tempfile.mkdtemp(prefix="hvl-bench-")  # no hvl.cfg: both methods on, UPnP switched off below
    procs = {"hvl": [hvl_scan, "--no-upnp"]}
    for t in TYPES:
        procs[t] = ["avahi-browse", "-rpt", t]
    sel = selectors.DefaultSelector()
    t0 = time.monotonic()
    running = {}
    for key, argv in procs.items():
        p = subprocess.Popen([LAB_SH, "exec-client", lab.name, "--", *argv], cwd=cwd,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        running[key] = p
        sel.register(p.stdout, selectors.EVENT_READ, key)
    timer = None
    if kill_at is not None:
        timer = threading.Timer(kill_at, lambda: lab.client_avahi("kill"))
        timer.start()
    lines = {key: [] for key in procs}
    partial = {key: b"" for key in procs}
    ends = {}
    open_pipes = len(procs)
    deadline = t0 + 90
    while open_pipes and time.monotonic() < deadline:
        for sk, _ in sel.select(timeout=0.5):
            key = sk.data
            # Unbuffered: a buffered readline would leave lines that arrived
            # together unseen until the next output, and misdate them.
            chunk = os.read(sk.fileobj.fileno(), 65536)
            now = time.monotonic() - t0
            if chunk:
                *complete, partial[key] = (partial[key] + chunk).split(b"\n")
                lines[key] += [(now, c.decode("utf-8", "replace")) for c in complete]
            else:
                sel.unregister(sk.fileobj)
                open_pipes -= 1
                running[key].wait(timeout=10)
                ends[key] = (now, running[key].returncode)
    for key, p in running.items():
        if p.poll() is None:  # past the bound: ours to end
            p.kill()
            p.wait()
            ends.setdefault(key, (time.monotonic() - t0, "killed"))
    if timer:
        timer.join()
    os.rmdir(cwd)

    rows = [t for t, s in lines["hvl"] if s and not COUNT_RE.match(s)]
    peer = {}  # first time each service was resolved
    for t in TYPES:
        for at, s in lines[t]:
            f = s.split(";")
            if f[0] == "=" and len(f) > 7 and f[3] not in peer:
                peer[f[3]] = at
    peer_times = sorted(peer.values())
    return {
        "rows": rows,
        "first": rows[0] if rows else None,
        "last": rows[-1] if rows else None,
        "done": ends["hvl"][0],
        "status": ends["hvl"][1],
        "peer_rows": peer_times,
        "peer_done": max(ends[t][0] for t in TYPES),
    }


def median(runs, key):
    vals = [key(r) if callable(key) else r[key] for r in runs]
    vals = [v for v in vals if v is not None]
    return statistics.median(vals) if vals else None


def peer_first(r):
    return r["peer_rows"][0] if r["peer_rows"] else None


def peer_last(r):
    return r["peer_rows"][-1] if r["peer_rows"] else None


def secs(v):
    return "–" if v is None else f"{v:.2f} s"


def status_text(s):
    if s == 0:
        return "0"
    if isinstance(s, int) and s < 0:
        return {-11: "SIGSEGV", -6: "SIGABRT"}.get(s, f"signal {-s}")
    return str(s)


def scenario_table(title, runs, expected, target, note):
    out = [f"### {title}", "", note, "",
           "| | hvl-scan --no-upnp | avahi-browse -rpt (both types) |", "|---|---|---|",
           f"| first row | {secs(median(runs, 'first'))} | {secs(median(runs, peer_first))} |",
           f"| last row | {secs(median(runs, 'last'))} | {secs(median(runs, peer_last))} |",
           f"| done | {secs(median(runs, 'done'))} | {secs(median(runs, 'peer_done'))} |",
           f"| rows listed (of {expected} live) | {statistics.median([len(r['rows']) for r in runs]):g} | "
           f"{statistics.median([len(r['peer_rows']) for r in runs]):g} |",
           f"| design floor | {FLOOR:.1f} s | |",
           f"| target | {target} | |",
           "",
           "Runs (hvl-scan first row / last row / done / exit status / rows; peer done): " +
           "; ".join(f"{secs(r['first'])} / {secs(r['last'])} / {secs(r['done'])} / "
                     f"{status_text(r['status'])} / {len(r['rows'])}; {secs(r['peer_done'])}" for r in runs),
           ""]
    return out


def wait_browse(lab, names, timeout=30):
    lab.run("wait-browse", lab.name, "_printer._tcp", *names, "--timeout", str(timeout), timeout=timeout + 30)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--hvl-scan", default=os.path.join(ROOT, "build", "default", "cli", "hvl-scan"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--docs", default=os.path.join(ROOT, "docs"))
    args = ap.parse_args()
    reason = skip_reason()
    if reason:
        sys.exit(f"mdns_lab_bench: {reason}")
    hvl_scan = os.path.abspath(args.hvl_scan)
    if not os.access(hvl_scan, os.X_OK):
        sys.exit(f"mdns_lab_bench: no hvl-scan at {hvl_scan} (cmake --build --preset default --target hvl-scan)")
    started = time.monotonic()
    name = f"bench{os.getpid() % 10000000}"  # unique per run, 1-12 of a-z0-9
    results = {}

    with Lab(name, ["p1"]) as lab:
        lab.announce("p1", live(250), tag="many")
        wait_browse(lab, ["Printer 1", "Printer 250"])
        results["many"] = [run_once(lab, hvl_scan) for _ in range(args.runs)]

    with Lab(name, ["p1", "p2"]) as lab:
        lab.announce("p1", live(20), tag="live")
        lab.stale("p2", switched_off(12), tag="off")
        time.sleep(2)  # their SRV and A records (TTL 1 s) leave the cache
        results["off"] = [run_once(lab, hvl_scan) for _ in range(args.runs)]
        results["killed"] = []
        for i in range(args.runs):
            results["killed"].append(run_once(lab, hvl_scan, kill_at=KILL_AT))
            # A fresh daemon, the same printers cached again.
            lab.client_avahi("restart")
            wait_browse(lab, [f"Printer {n}" for n in range(1, 21)])
            lab.stale("p2", switched_off(12), tag=f"off{i}")
            time.sleep(2)

    write_docs(args.docs, results, time.monotonic() - started, hvl_scan)


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            m = re.search(r"^model name\s*:\s*(.+)$", f.read(), re.M)
            cpu = m.group(1) if m else cpu
    except OSError:
        pass
    avahi = subprocess.run(["avahi-daemon", "--version"], capture_output=True, text=True).stdout.strip()
    commit = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"], capture_output=True,
                            text=True).stdout.strip()
    return (f"{os.cpu_count()} × {cpu}, Linux {platform.release()}, {avahi}, load average "
            f"{os.getloadavg()[0]:.2f} at the end, code at {commit or 'unknown'}")


def write_docs(docs, results, elapsed, hvl_scan):
    os.makedirs(docs, exist_ok=True)
    md = ["# mDNS scan benchmarks", "",
          "Written by `tests/bench/mdns_lab_bench.py`; do not edit by hand.", "",
          "**Method.** The test lab (network namespaces joined by a bridge, the client with its own "
          "avahi-daemon and D-Bus bus; see tests/lab/README.md) is built, printers are announced with "
          "python3-zeroconf, each with a host name and an address of its own (198.51.100.0/24, not on any "
          "interface). Switched-off printers are announced with SRV and A records of TTL 1 s, seen by the "
          "client's avahi-daemon, then killed without goodbye: browsing still reports them, a resolve gets no "
          "answer. In each run `hvl-scan --no-upnp` (it prints each row as it is listed) and `avahi-browse "
          "-rpt` for `_printer._tcp` and for `_pdl-datastream._tcp` start together in the client namespace; "
          "every output line is time-stamped as it arrives. A row of the peer is a service it resolved; its "
          "time is when both browsers had exited. Figures are medians of "
          f"{len(results['many'])} runs; the machine is shared and noisy. The design floor of a scan is two "
          "browse passes, each ended by a 4 s silence: 8.0 s.", "",
          f"**Machine.** {machine()}. The whole run took {elapsed / 60:.1f} min.", "",
          "Rows listed over time, one run per scenario (the median one): "
          "[scan-timeline.png](scan-timeline.png).", ""]
    md += scenario_table("250 live printers", results["many"], 250, "done ≤ 8.6 s, first row ≤ 4.5 s",
                         "250 printers under `_printer._tcp`, each with its own host and address.")
    md += scenario_table("20 live + 12 switched off", results["off"], 20,
                         "every live printer listed, done ≤ 15 s, first row ≤ 4.5 s",
                         "20 live printers and 12 switched-off ones, all under `_printer._tcp`.")
    md += scenario_table("20 live + 12 switched off, avahi-daemon killed 5 s into the scan", results["killed"], 20,
                         "no crash; the scan ends within 1 s of the kill, keeping its rows",
                         f"As above; the client's avahi-daemon is killed (SIGKILL) {KILL_AT:.1f} s after the start, "
                         "then restarted between runs.")
    with open(os.path.join(docs, "benchmarks.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(md))
    plot(docs, results)


def plot(docs, results):
    titles = {"many": "250 live printers", "off": "20 live + 12 switched off",
              "killed": f"20 live + 12 off, avahi-daemon killed at {KILL_AT:g} s"}
    with tempfile.TemporaryDirectory() as tmp:
        script = ["set terminal pngcairo size 900,1100 font 'sans,10'",
                  f"set output '{os.path.join(docs, 'scan-timeline.png')}'",
                  "set multiplot layout 3,1", "set xlabel 'seconds since the start'",
                  "set ylabel 'rows listed'", "set key left top", "set grid"]
        for key, title in titles.items():
            runs = results[key]
            mid = sorted(runs, key=lambda r: r["done"])[len(runs) // 2]
            for series, times in (("hvl", mid["rows"]), ("peer", mid["peer_rows"])):
                with open(os.path.join(tmp, f"{key}-{series}.dat"), "w", encoding="utf-8") as f:
                    f.write("0 0\n")
                    for n, t in enumerate(times, 1):
                        f.write(f"{t:.3f} {n}\n")
                    f.write(f"{mid['done'] if series == 'hvl' else mid['peer_done']:.3f} {len(times)}\n")
            xmax = max(mid["done"], mid["peer_done"], FLOOR) * 1.05 + 0.5
            script += [f"set title '{title}'", f"set xrange [0:{xmax:.1f}]",
                       f"set arrow 1 from {FLOOR},graph 0 to {FLOOR},graph 1 nohead dt 2",
                       f"set label 1 'design floor' at {FLOOR},graph 0.5 offset 0.5,0",
                       "unset arrow 2", "unset label 2"]
            if key == "killed":
                script += [f"set arrow 2 from {KILL_AT},graph 0 to {KILL_AT},graph 1 nohead lc 'red'",
                           f"set label 2 'avahi-daemon killed' at {KILL_AT},graph 0.3 offset 0.5,0 tc 'red'"]
            script.append(f"plot '{tmp}/{key}-hvl.dat' with steps lw 2 title 'hvl-scan --no-upnp', "
                          f"'{tmp}/{key}-peer.dat' with steps lw 2 title 'avahi-browse -rpt'")
        script.append("unset multiplot")
        subprocess.run(["gnuplot"], input="\n".join(script), text=True, check=True)


if __name__ == "__main__":
    main()
