#!/usr/bin/python3
"""hvl-scan --watch --serve with 1,000 printers (four hosts of 250, each
address on its host's lo so the liveness check reaches it): the time of each
path's request from the client namespace, and the watcher's RSS before and
after 200 requests of each; then the same over TLS with a bcrypt user
(--serve-config), whose "/" against plain HTTP's is the handshake's cost. No
--status (1,000 IPP printers are more than the lab runs): /metrics carries
info, up and last seen per printer. Writes its section of docs/benchmarks.md.
Not a test; needs root.
  sudo tests/bench/serve_bench.py [--hvl-scan PATH]"""
import json, os, subprocess, sys, tempfile, time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path[:0] = [os.path.join(ROOT, "tests", "lab"), os.path.join(ROOT, "tests", "bench")]
from ipp_status_lab_bench import Lab, skip_reason, write_section  # noqa: E402
from watch_soak_bench import printers, reachable, sample  # noqa: E402

BEGIN, END = "<!-- serve -->", "<!-- /serve -->"
NETS = ["198.18.0", "198.18.1", "198.18.2", "198.18.3"]
# Run in the client: each path asked 200 times in a row, one connection each.
CLIENT = """
import base64, json, ssl, statistics, sys, time, urllib.request
base, auth = sys.argv[1], sys.argv[2]
context = ssl._create_unverified_context()
out = {}
for path, accept in (("/metrics", "text/plain"), ("/metrics", "application/openmetrics-text"), ("/targets", ""),
                     ("/printers", ""), ("/", "")):
    times, size = [], 0
    headers = {"Accept": accept, **({"Authorization": "Basic " + base64.b64encode(auth.encode()).decode()}
                                    if auth else {})}
    for _ in range(200):
        t = time.perf_counter()
        with urllib.request.urlopen(urllib.request.Request(base + path, headers=headers), context=context) as r:
            size = len(r.read())
        times.append(time.perf_counter() - t)
    times.sort()
    out[path + (" (OpenMetrics)" if "openmetrics" in accept else "")] = (statistics.median(times), times[189], size)
print(json.dumps(out))
"""


def web_config(tmp):
    """A certificate and a bcrypt user "bench" (password "bench"), as the handbook writes them."""
    cert, key = os.path.join(tmp, "serve.crt"), os.path.join(tmp, "serve.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    hashed = subprocess.run(["python3", "-W", "ignore", "-c", "import crypt; print(crypt.crypt('bench', "
                             "crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1 << 10)))"],
                            capture_output=True, text=True, check=True).stdout.strip()
    path = os.path.join(tmp, "web.yml")
    with open(os.open(path, os.O_CREAT | os.O_WRONLY, 0o600), "w") as f:
        f.write(f"tls_server_config:\n  cert_file: {cert}\n  key_file: {key}\nbasic_auth_users:\n  bench: '{hashed}'\n")
    os.chmod(key, 0o600)
    return path


def main():
    hvl_scan = os.path.abspath(sys.argv[sys.argv.index("--hvl-scan") + 1] if "--hvl-scan" in sys.argv else
                               os.path.join(ROOT, "build", "default", "cli", "hvl-scan"))
    if skip_reason():
        sys.exit(f"serve_bench: {skip_reason()}")
    with Lab("serve1k", ["p1", "p2", "p3", "p4"], cache_entries=16384) as lab, tempfile.TemporaryDirectory() as tmp:
        for i, net in enumerate(NETS):
            reachable(lab, f"p{i + 1}", net, 250)
            lab.announce(f"p{i + 1}", printers(f"Bench{i}", net, 250), tag=f"bench{i}")
        runs = {"HTTP": ([], "http://127.0.0.1:9464", ""),
                "TLS and a password": (["--serve-config", web_config(tmp)], "https://127.0.0.1:9464", "bench:bench")}
        results = {}
        for kind, (extra, base, auth) in runs.items():
            pid = lab.spawn("client", [hvl_scan, "--watch", "--no-upnp", "--no-wsd", "--serve", "127.0.0.1:9464",
                                       *extra], tag="watch")
            t0, count = time.monotonic(), 0
            while time.monotonic() - t0 < 60 and count < 1000:
                time.sleep(1)
                p = lab.exec_client(["curl", "-sfk", *(["-u", auth] if auth else []), base + "/targets"])
                count = len(json.loads(p.stdout)) if p.returncode == 0 else 0
            listed = time.monotonic() - t0
            before = sample(pid)
            p = lab.exec_client(["python3", "-c", CLIENT, base, auth], timeout=600)
            after = sample(pid)
            results[kind] = (count, listed, before, after, json.loads(p.stdout))
            lab.kill("watch", signal="INT")
            time.sleep(1)
    count, listed, before, after, plain = results["HTTP"]
    tls = results["TLS and a password"][4]
    text = (f"{BEGIN}\n### hvl-scan --watch --serve, 1,000 printers\n\nWritten by `tests/bench/serve_bench.py`. "
            f"1,000 printers over mDNS on four hosts (client cache-entries-max 16384), {count} listed after {listed:.0f} s; each path asked 200 times "
            "in a row from the client namespace (Python's urllib, a connection each, as hvl-scan closes each "
            "after its answer).\n\n| path | median | 95th percentile | size |\n|---|---|---|---|\n" +
            "".join(f"| `{k}` | {m * 1000:.1f} ms | {p95 * 1000:.1f} ms | {size / 1024:.0f} KiB |\n"
                    for k, (m, p95, size) in plain.items()) +
            f"\nThe watcher's RSS: {before['rss']} KiB before the requests, {after['rss']} KiB after "
            f"{200 * len(plain)} of them; {after['threads']} threads.\n\nThe same over TLS (RSA 2048, "
            "a connection each) with a bcrypt user (`--serve-config`):\n\n| path | median | 95th percentile |\n"
            "|---|---|---|\n" +
            "".join(f"| `{k}` | {m * 1000:.1f} ms | {p95 * 1000:.1f} ms |\n" for k, (m, p95, _) in tls.items()) +
            f"\nThe handshake's cost, `/` over TLS less `/` over HTTP: "
            f"{(tls['/'][0] - plain['/'][0]) * 1000:.1f} ms a connection (median).\n{END}\n")
    write_section(BEGIN, END, text)
    print(text)


if __name__ == "__main__":
    main()
