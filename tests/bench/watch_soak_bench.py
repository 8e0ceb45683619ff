#!/usr/bin/python3
"""hvl-scan --watch over a long run: 250 printers that stay (each address on a
printer host's lo, so the liveness check reaches it) and 20 more that say
goodbye and come back every minute, at the default interval. Samples the
watcher's RSS, descriptors, threads and CPU; the first minutes without churn
give the idle CPU. Writes its section of docs/benchmarks.md. Not a test;
needs root.  sudo tests/bench/watch_soak_bench.py [--minutes 30] [--hvl-scan PATH]"""
import json, os, subprocess, sys, time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path[:0] = [os.path.join(ROOT, "tests", "lab"), os.path.join(ROOT, "tests", "bench")]
from ipp_status_lab_bench import Lab, skip_reason, write_section  # noqa: E402

BEGIN, END = "<!-- watch-soak -->", "<!-- /watch-soak -->"


def printers(name, net, count):
    return {"instances": [{"name": name + " {i}", "types": ["_printer._tcp"], "host": name.lower() + "-{i}",
                           "addresses": [net + ".{i}"], "count": count}]}


def reachable(lab, host, net, count):
    lab.exec(host, ["sh", "-c", f"for i in $(seq {count}); do ip addr add {net}.$i/32 dev lo; done"]).check_returncode()
    lab.exec_client(["ip", "route", "add", net + ".0/24", "via", lab.ip(host)]).check_returncode()


def sample(pid):
    with open(f"/proc/{pid}/stat") as f:
        ticks = sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])
    with open(f"/proc/{pid}/status") as f:
        status = dict(line.split(":", 1) for line in f)
    return {"t": time.monotonic(), "cpu": ticks / os.sysconf("SC_CLK_TCK"), "rss": int(status["VmRSS"].split()[0]),
            "threads": int(status["Threads"]), "fds": len(os.listdir(f"/proc/{pid}/fd"))}


def main():
    minutes = float(sys.argv[sys.argv.index("--minutes") + 1]) if "--minutes" in sys.argv else 30
    hvl_scan = os.path.abspath(sys.argv[sys.argv.index("--hvl-scan") + 1] if "--hvl-scan" in sys.argv else
                               os.path.join(ROOT, "build", "default", "cli", "hvl-scan"))
    if skip_reason():
        sys.exit(f"watch_soak_bench: {skip_reason()}")
    with Lab("soak32", ["p1", "p2"]) as lab:
        reachable(lab, "p1", "198.51.100", 250)
        reachable(lab, "p2", "203.0.113", 20)
        lab.announce("p1", printers("Stay", "198.51.100", 250), tag="stay")
        pid = lab.spawn("client", [hvl_scan, "--watch", "--json", "--no-upnp"], tag="watch")
        time.sleep(30)  # every printer listed and checked a few times
        samples, cycles = [sample(pid)], 0
        while time.monotonic() < samples[0]["t"] + 120:
            time.sleep(10)
            samples.append(sample(pid))
        idle = samples[-1]
        while time.monotonic() < samples[0]["t"] + minutes * 60:  # a minute each: come, then say goodbye
            t_cycle = time.monotonic()
            lab.announce("p2", printers("Churn", "203.0.113", 20), tag=f"churn{cycles}")
            time.sleep(25)
            samples.append(sample(pid))
            lab.kill(f"churn{cycles}")
            cycles += 1
            time.sleep(max(0.0, t_cycle + 60 - time.monotonic()))
            samples.append(sample(pid))
        lab.kill("watch", signal="INT")
        with open(os.path.join(lab.dir, "client", "watch.log")) as f:
            events = [json.loads(line) for line in f if line.startswith("{")]
    gone = [e for e in events if e["event"] == "remove"]
    stay_gone = [e for e in gone if e["row"]["name"].startswith("Stay")]
    first, last = samples[0], samples[-1]
    idle_cpu = 100 * (idle["cpu"] - first["cpu"]) / (idle["t"] - first["t"])
    churn_cpu = 100 * (last["cpu"] - idle["cpu"]) / max(1, last["t"] - idle["t"])
    text = (f"{BEGIN}\n### hvl-scan --watch, {minutes:g} minutes\n\nWritten by `tests/bench/watch_soak_bench.py`. 250 "
            "printers that stay (addresses on a printer host's lo, reached through a route) and 20 that come and say "
            f"goodbye once a minute ({cycles} times), interval 10 s, `--json`. Samples of the watcher after its first "
            "30 s; idle: the first 2 minutes, before any churn; descriptors include the liveness checks in flight at "
            "the sample.\n\n| | start | end | max |\n|---|---|---|---|\n" +
            "".join(f"| {k} | {first[k]} | {last[k]} | {max(s[k] for s in samples)} |\n"
                    for k in ("rss", "fds", "threads")) +
            f"\nRSS in KiB. CPU of one core: {idle_cpu:.2f} % idle with 250 printers, {churn_cpu:.2f} % with the "
            f"churn. Events: {sum(e['event'] == 'add' for e in events)} add, {len(gone)} remove "
            f"({sum(e['reason'] == 'goodbye' for e in gone)} goodbye), {len(stay_gone)} of the staying printers "
            f"reported gone.\n{END}\n")
    write_section(BEGIN, END, text)
    print(text)


if __name__ == "__main__":
    main()
