#!/usr/bin/python3
"""hvl-scan --watch --serve with 1,000 printers (four hosts of 250, each
address on its host's lo so the liveness check reaches it): the time of each
path's request from the client namespace, and the watcher's RSS before and
after 200 requests of each. No --status (1,000 IPP printers are more than the
lab runs): /metrics carries info, up and last seen per printer. Writes its
section of docs/benchmarks.md. Not a test; needs root.
  sudo tests/bench/serve_bench.py [--hvl-scan PATH]"""
import json, os, sys, time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path[:0] = [os.path.join(ROOT, "tests", "lab"), os.path.join(ROOT, "tests", "bench")]
from ipp_status_lab_bench import Lab, skip_reason, write_section  # noqa: E402
from watch_soak_bench import printers, reachable, sample  # noqa: E402

BEGIN, END = "<!-- serve -->", "<!-- /serve -->"
NETS = ["198.18.0", "198.18.1", "198.18.2", "198.18.3"]
# Run in the client: each path asked 200 times in a row, one connection each.
CLIENT = """
import json, statistics, sys, time, urllib.request
out = {}
for path, accept in (("/metrics", "text/plain"), ("/metrics", "application/openmetrics-text"), ("/targets", ""),
                     ("/printers", ""), ("/", "")):
    times, size = [], 0
    for _ in range(200):
        t = time.perf_counter()
        with urllib.request.urlopen(urllib.request.Request("http://127.0.0.1:9464" + path,
                                                           headers={"Accept": accept})) as r:
            size = len(r.read())
        times.append(time.perf_counter() - t)
    times.sort()
    out[path + (" (OpenMetrics)" if "openmetrics" in accept else "")] = (statistics.median(times), times[189], size)
print(json.dumps(out))
"""


def main():
    hvl_scan = os.path.abspath(sys.argv[sys.argv.index("--hvl-scan") + 1] if "--hvl-scan" in sys.argv else
                               os.path.join(ROOT, "build", "default", "cli", "hvl-scan"))
    if skip_reason():
        sys.exit(f"serve_bench: {skip_reason()}")
    with Lab("serve1k", ["p1", "p2", "p3", "p4"], cache_entries=16384) as lab:
        for i, net in enumerate(NETS):
            reachable(lab, f"p{i + 1}", net, 250)
            lab.announce(f"p{i + 1}", printers(f"Bench{i}", net, 250), tag=f"bench{i}")
        pid = lab.spawn("client", [hvl_scan, "--watch", "--no-upnp", "--no-wsd", "--serve", "127.0.0.1:9464"],
                        tag="watch")
        t0, count = time.monotonic(), 0
        while time.monotonic() - t0 < 60 and count < 1000:
            time.sleep(1)
            p = lab.exec_client(["curl", "-sf", "http://127.0.0.1:9464/targets"])
            count = len(json.loads(p.stdout)) if p.returncode == 0 else 0
        listed = time.monotonic() - t0
        before = sample(pid)
        p = lab.exec_client(["python3", "-c", CLIENT], timeout=600)
        after = sample(pid)
        results = json.loads(p.stdout)
    text = (f"{BEGIN}\n### hvl-scan --watch --serve, 1,000 printers\n\nWritten by `tests/bench/serve_bench.py`. "
            f"1,000 printers over mDNS on four hosts (client cache-entries-max 16384), {count} listed after {listed:.0f} s; each path asked 200 times "
            "in a row from the client namespace (Python's urllib, a connection each, as hvl-scan closes each "
            "after its answer).\n\n| path | median | 95th percentile | size |\n|---|---|---|---|\n" +
            "".join(f"| `{k}` | {m * 1000:.1f} ms | {p95 * 1000:.1f} ms | {size / 1024:.0f} KiB |\n"
                    for k, (m, p95, size) in results.items()) +
            f"\nThe watcher's RSS: {before['rss']} KiB before the requests, {after['rss']} KiB after "
            f"{200 * len(results)} of them; {after['threads']} threads.\n{END}\n")
    write_section(BEGIN, END, text)
    print(text)


if __name__ == "__main__":
    main()
