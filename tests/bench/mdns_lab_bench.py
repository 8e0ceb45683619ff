#!/usr/bin/python3
"""How long a printer scan takes on a lab network: hvl-scan's live scan,
hvl-scan --window-scan and avahi-browse, in one run.

Builds the test lab (tests/lab), and in each scenario runs, side by side and
started together in the lab's client namespace, `hvl-scan` (the live scan),
`hvl-scan --window-scan` (the window's scan) and `avahi-browse -rpt` for each
of the two service types, time-stamping every output line as it arrives.
Three runs per scenario; medians are reported. Writes docs/benchmarks.md and
docs/scan-timeline.png (gnuplot). Not a test: nothing here passes or fails.
Needs root (the lab).

    sudo tests/bench/mdns_lab_bench.py [--hvl-scan build/default/cli/hvl-scan]
        [--upnp-peer build/default/tests/discovery/upnp/upnp_peer] [--runs 3]
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
FLOOR = 8.0  # the window's scan: two passes, each ended by a 4 s browse silence
KILL_AT = 1.0  # into the scan: the live scan's resolves of switched-off printers are under way
PEER_BOUND = 12.0  # a frozen daemon holds avahi-browse forever: ended here
COUNT_RE = re.compile(r"^\d+ devices? found\.$")
DESCRIPTIONS = os.path.join(ROOT, "tests", "lab", "upnp", "descriptions")
UPNP_PRINTERS = ("printer.xml", "printer_nomodel.xml", "tagged.xml", "multifunction.xml")
TOOLS = {"live": "hvl-scan", "window": "hvl-scan --window-scan", "peer": "avahi-browse -rpt (both types)",
         "default": "hvl-scan, every method on"}
COLOURS = {"live": "#9400d3", "window": "#009e73", "peer": "#56b4e9", "default": "#e69f00"}  # one per tool


def live(n):
    return {"instances": [{"name": "Printer {i}", "types": ["_printer._tcp"], "host": "prn-{i}",
                           "addresses": ["198.51.100.{i}"], "count": n}]}


def switched_off(n):
    return {"instances": [{"name": "Off {i}", "types": ["_printer._tcp"], "host": "off-{i}",
                           "addresses": ["203.0.113.{i}"], "count": n}]}


def run_once(lab, hvl_scan, upnp=False, act=None, tools=("live", "window", "peer")):
    """One side-by-side run; every output line of each tool with its time
    since the start. act: (seconds, client_avahi action) done mid-scan.
    The live scan's peak memory (KiB) is in its result's "rss"."""
    rss = os.path.join(lab.dir, "live.rss")
    cwd = tempfile.mkdtemp(prefix="hvl-bench-")  # no hvl.cfg: both methods on
    methods = ["--no-wsd"] + ([] if upnp else ["--no-upnp"])  # WS-Discovery has a benchmark of its own
    procs = {}
    if "live" in tools:
        procs["live"] = ["/usr/bin/time", "-o", rss, "-f", "%M", hvl_scan, *methods]
    if "window" in tools:
        procs["window"] = [hvl_scan, *methods, "--window-scan"]
    if "default" in tools:  # as a user runs it: mDNS, UPnP and WS-Discovery
        procs["default"] = [hvl_scan]
    if "peer" in tools:
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
    if act is not None:
        timer = threading.Timer(act[0], lambda: lab.client_avahi(act[1]))
        timer.start()
    lines = {key: [] for key in procs}
    partial = {key: b"" for key in procs}
    ends = {}
    open_pipes = len(procs)
    deadline = t0 + (PEER_BOUND if act and act[1] == "freeze" else 90)
    while open_pipes and time.monotonic() < deadline:
        for sk, _ in sel.select(timeout=0.2):
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

    result = {}
    for key in ("live", "window", "default"):
        if key not in procs:
            continue
        rows = [t for t, s in lines[key] if s and not COUNT_RE.match(s)]
        result[key] = {"rows": rows, "done": ends[key][0], "status": ends[key][1]}
        if key == "live" and os.path.exists(rss):
            result[key]["rss"] = int(open(rss, encoding="utf-8").read().split()[-1])
    if "peer" in tools:
        peer = {}  # first time each service was resolved
        for t in TYPES:
            for at, s in lines[t]:
                f = s.split(";")
                if f[0] == "=" and len(f) > 7 and f[3] not in peer:
                    peer[f[3]] = at
        result["peer"] = {"rows": sorted(peer.values()), "done": max(ends[t][0] for t in TYPES),
                          "status": "killed" if any(ends[t][1] == "killed" for t in TYPES) else 0}
    return result


def median(vals):
    vals = [v for v in vals if v is not None]
    return statistics.median(vals) if vals else None


def first(r):
    return r["rows"][0] if r["rows"] else None


def last(r):
    return r["rows"][-1] if r["rows"] else None


def secs(v):
    return "–" if v is None else f"{v:.2f} s"


def status_text(s):
    if s == 0:
        return "0"
    if isinstance(s, int) and s < 0:
        return {-11: "SIGSEGV", -6: "SIGABRT"}.get(s, f"signal {-s}")
    return str(s)


def scenario_table(title, runs, expected, target, note):
    tools = [t for t in TOOLS if t in runs[0]]
    out = [f"### {title}", "", note, "",
           "| | " + " | ".join(TOOLS[t] for t in tools) + " |", "|---" * (len(tools) + 1) + "|"]
    for label, fn in (("first row", first), ("last row", last), ("done", lambda r: r["done"])):
        out.append(f"| {label} | " + " | ".join(secs(median([fn(r[t]) for r in runs])) for t in tools) + " |")
    out.append(f"| rows listed (of {expected}) | " +
               " | ".join(f"{statistics.median([len(r[t]['rows']) for r in runs]):g}" for t in tools) + " |")
    out += [f"| target (live scan) | {target} |" + " |" * (len(tools) - 1), "",
            "Runs (first row / done / exit status / rows): " +
            "; ".join(", ".join(f"{t} {secs(first(r[t]))} / {secs(r[t]['done'])} / {status_text(r[t]['status'])}"
                                f" / {len(r[t]['rows'])}" for t in tools) for r in runs), ""]
    return out


def wait_browse(lab, names, timeout=30):
    lab.run("wait-browse", lab.name, "_printer._tcp", *names, "--timeout", str(timeout), timeout=timeout + 30)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--hvl-scan", default=os.path.join(ROOT, "build", "default", "cli", "hvl-scan"))
    ap.add_argument("--upnp-peer",
                    default=os.path.join(ROOT, "build", "default", "tests", "discovery", "upnp", "upnp_peer"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--docs", default=os.path.join(ROOT, "docs"))
    args = ap.parse_args()
    reason = skip_reason()
    if reason:
        sys.exit(f"mdns_lab_bench: {reason}")
    hvl_scan, upnp_peer = os.path.abspath(args.hvl_scan), os.path.abspath(args.upnp_peer)
    for path in (hvl_scan, upnp_peer):
        if not os.access(path, os.X_OK):
            sys.exit(f"mdns_lab_bench: no {path} (cmake --build --preset default --target hvl-scan upnp_peer)")
    started = time.monotonic()
    name = f"bench{os.getpid() % 10000000}"  # unique per run, 1-12 of a-z0-9
    results = {}

    with Lab(name, ["p1"]) as lab:
        lab.announce("p1", live(250), tag="many")
        wait_browse(lab, ["Printer 1", "Printer 250"])
        results["many"] = [run_once(lab, hvl_scan, tools=("live", "window", "peer", "default"))
                           for _ in range(args.runs)]

    with Lab(name, ["p1", "p2"]) as lab:
        lab.announce("p1", live(20), tag="live")
        lab.stale("p2", switched_off(12), tag="off")
        time.sleep(2)  # their SRV and A records (TTL 1 s) leave the cache
        results["off"] = [run_once(lab, hvl_scan) for _ in range(args.runs)]
        for key, action in (("killed", "kill"), ("frozen", "freeze")):
            results[key] = []
            for i in range(args.runs):
                # The window's scan gets nothing from a frozen daemon until
                # its 30 s limit: the frozen runs leave it out.
                tools = ("live", "peer") if action == "freeze" else ("live", "window", "peer")
                results[key].append(run_once(lab, hvl_scan, act=(KILL_AT, action), tools=tools))
                # A fresh daemon, the same printers cached again.
                lab.client_avahi("restart")
                wait_browse(lab, [f"Printer {n}" for n in range(1, 21)])
                lab.stale("p2", switched_off(12), tag=f"{key}{i}")
                time.sleep(2)

    hosts = [f"u{i}" for i in range(1, len(UPNP_PRINTERS) + 1)]
    with Lab(name, ["p1", *hosts]) as lab:
        lab.announce("p1", live(20), tag="live")
        for host, description in zip(hosts, UPNP_PRINTERS):
            lab.spawn(host, [upnp_peer, lab.ip(host), DESCRIPTIONS, description], tag="upnp")
        wait_browse(lab, [f"Printer {n}" for n in range(1, 21)])
        time.sleep(1)  # the UPnP peers announce themselves
        results["both"] = [run_once(lab, hvl_scan, upnp=True) for _ in range(args.runs)]

    # Large links over 10 announcers (one process answering every printer
    # is a bottleneck no network has); each tool alone on a client daemon
    # started afresh, so neither gets the other's warm cache. 16384 entries
    # is what the README tells administrators to set, 4096 avahi's default.
    hosts = [f"p{h}" for h in range(1, 11)]
    for n, cache in ((250, None), (500, 16384), (1000, 16384), (1000, None)):
        with Lab(name, hosts, cache_entries=cache) as lab:
            for h, host in enumerate(hosts, 1):
                lab.announce(host, {"instances": [{"name": f"Printer {h}-{{i}}", "types": ["_printer._tcp"],
                             "host": f"prn-{h}-{{i}}", "addresses": [f"198.18.{h}.{{i}}"], "count": n // 10}]})
            # Not measured: the first scan finds ten announcers that share two
            # cores and cache each other's printers for the first time; some
            # answer it a second late or not at all.
            lab.client_avahi("restart")
            run_once(lab, hvl_scan, tools=("live",))
            results[(n, cache)] = [{} for _ in range(args.runs)]
            for run, tool in ((run, tool) for run in results[(n, cache)] for tool in ("live", "peer")):
                lab.client_avahi("restart")
                run.update(run_once(lab, hvl_scan, tools=(tool,)))

    write_docs(args.docs, results, time.monotonic() - started)


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


def write_docs(docs, results, elapsed):
    os.makedirs(docs, exist_ok=True)
    md = ["# Printer scan benchmarks", "",
          "Written by `tests/bench/mdns_lab_bench.py`; do not edit by hand.", "",
          "**Method.** The test lab (network namespaces joined by a bridge, the client with its own "
          "avahi-daemon and D-Bus bus; see tests/lab/README.md) is built, printers are announced with "
          "python3-zeroconf, each with a host name and an address of its own (198.51.100.0/24, not on any "
          "interface). Switched-off printers are announced with SRV and A records of TTL 1 s, seen by the "
          "client's avahi-daemon, then killed without goodbye: browsing still reports them, a resolve gets no "
          "answer. UPnP printers are GUPnP devices (tests/lab/upnp), one host each. In each run `hvl-scan` "
          "(the live scan, its one-shot mDNS queries beside avahi-daemon on, as by default), `hvl-scan --window-scan` (the window's scan; both print each row as it is listed, "
          "with `--no-upnp` unless both methods are measured) and `avahi-browse -rpt` for `_printer._tcp` and "
          "for `_pdl-datastream._tcp` start together in the client namespace; every output line is "
          "time-stamped as it arrives. A row of the peer is a service it resolved; its time is when both "
          f"browsers had exited. Figures are medians of {len(results['many'])} runs; the machine is shared and "
          f"noisy. The window's scan has a design floor of two browse passes, each ended by a 4 s silence: "
          f"{FLOOR:.1f} s.", "",
          f"**Machine.** {machine()}. The whole run took {elapsed / 60:.1f} min.", "",
          "Rows listed over time, one run per scenario (the median one): "
          "[scan-timeline.png](scan-timeline.png).", ""]
    md += scenario_table("250 live printers", results["many"], 250,
                         "every row ≤ 0.2 s, done ≤ 0.6 × avahi-browse; every method on: "
                         "done ≤ 1.1 × avahi-browse",
                         "250 printers under `_printer._tcp`, each with its own host and address.")
    md += scenario_table("20 live + 12 switched off", results["off"], 20,
                         "all 20 listed by 0.5 s, done ≤ 2.5 s",
                         "20 live printers and 12 switched-off ones, all under `_printer._tcp`.")
    md += scenario_table(f"20 live + 12 switched off, avahi-daemon killed {KILL_AT:g} s into the scan",
                         results["killed"], 20, "no crash, done within 0.2 s of the kill, rows kept",
                         f"As above; the client's avahi-daemon is killed (SIGKILL) {KILL_AT:g} s after the start, "
                         "then restarted between runs.")
    md += scenario_table(f"20 live + 12 switched off, avahi-daemon frozen {KILL_AT:g} s into the scan",
                         results["frozen"], 20, "done within the resolve bound (2 s) + 0.5 s of the freeze",
                         f"As above; the client's avahi-daemon is stopped (SIGSTOP) {KILL_AT:g} s after the start. "
                         f"avahi-browse waits for it forever and is ended at {PEER_BOUND:g} s; the window's scan "
                         "is left out (it waits up to its 30 s limit).")
    md += scenario_table("Both methods: 20 mDNS printers and the UPnP lab's printers", results["both"],
                         20 + len(UPNP_PRINTERS), "done ≤ 2.5 s, every printer listed",
                         f"20 mDNS printers and {len(UPNP_PRINTERS)} UPnP printers "
                         f"({', '.join(UPNP_PRINTERS)}), one host each; hvl-scan without `--no-upnp`. "
                         "avahi-browse sees only the mDNS ones.")
    for (n, cache), runs in ((k, v) for k, v in results.items() if isinstance(k, tuple)):
        # With avahi's default cache the one-shot queries list what the daemon drops.
        target = ("every printer, done ≤ 3 s and ≤ 1.2 × avahi-browse, ≤ 40 MB" if cache else
                  "every printer, the last ≤ 0.5 s, done ≤ 1.0 s, ≤ 40 MB" if n >= 1000 else
                  "every row ≤ 0.2 s, done ≤ 0.6 × avahi-browse")
        md += scenario_table(f"{n:,} printers on 10 hosts, cache-entries-max {cache or '4096 (default)'}", runs, n,
                             target,
                             f"{n // 10} printers on each of 10 announcer hosts (addresses in 198.18.0.0/15); each "
                             "tool alone, on a client avahi-daemon restarted just before (an empty cache). "
                             f"hvl-scan's peak memory (median): {median([r['live'].get('rss') for r in runs]) or 0:.0f} KiB.")
    path = os.path.join(docs, "benchmarks.md")
    # Other benchmarks' sections (between <!-- name --> markers) stay as they are.
    kept = re.findall(r"(<!-- ([a-z-]+) -->\n.*?<!-- /\2 -->\n)", open(path, encoding="utf-8").read(), re.S) \
        if os.path.exists(path) else []
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(md) + "".join("\n" + section for section, _ in kept))
    plot(docs, results)


def plot(docs, results):
    titles = {"many": "250 live printers", "off": "20 live + 12 switched off",
              "killed": f"20 live + 12 off, avahi-daemon killed at {KILL_AT:g} s",
              "frozen": f"20 live + 12 off, avahi-daemon frozen at {KILL_AT:g} s",
              "both": "both methods: 20 mDNS + 4 UPnP printers"}
    with tempfile.TemporaryDirectory() as tmp:
        script = ["set terminal pngcairo size 900,1500 font 'sans,10'",
                  f"set output '{os.path.join(docs, 'scan-timeline.png')}'",
                  f"set multiplot layout {len(titles)},1", "set xlabel 'seconds since the start'",
                  "set ylabel 'rows listed'", "set key right bottom", "set grid"]
        for key, title in titles.items():
            runs = results[key]
            mid = sorted(runs, key=lambda r: r["live"]["done"])[len(runs) // 2]
            tools = [t for t in TOOLS if t in mid]
            for t in tools:
                with open(os.path.join(tmp, f"{key}-{t}.dat"), "w", encoding="utf-8") as f:
                    f.write("0 0\n")
                    for n, at in enumerate(mid[t]["rows"], 1):
                        f.write(f"{at:.3f} {n}\n")
                    f.write(f"{mid[t]['done']:.3f} {len(mid[t]['rows'])}\n")
            xmax = max(mid[t]["done"] for t in tools) * 1.05 + 0.5
            script += [f"set title '{title}'", f"set xrange [0:{xmax:.1f}]", "unset arrow 2", "unset label 2"]
            if key in ("killed", "frozen"):
                script += [f"set arrow 2 from {KILL_AT},graph 0 to {KILL_AT},graph 1 nohead lc 'red'",
                           f"set label 2 'avahi-daemon {key}' at {KILL_AT},graph 0.3 offset 0.5,0 tc 'red'"]
            script.append("plot " + ", ".join(f"'{tmp}/{key}-{t}.dat' with steps lw 2 lc rgb '{COLOURS[t]}' "
                                              f"title '{TOOLS[t]}'" for t in tools))
        script.append("unset multiplot")
        subprocess.run(["gnuplot"], input="\n".join(script), text=True, check=True)


if __name__ == "__main__":
    main()
