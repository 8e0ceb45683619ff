#!/usr/bin/python3
"""hvl-scan against the test lab: printers announced on a lab host are
listed with the right count text, by the live scan and by --window-scan, the
switches work, --json and --csv parse, --ipp adds the IPP-only printers,
--status reads each printer's state over IPP (ippeveprinters, over TLS too,
one refusing, one not answering), --driverless judges ippeveprinter
variants as a cupsd of the lab's own sets them up, --identify reaches the
printer, --diagnose tells what is missing,
scripts/run.sh without a display runs the scan, Ctrl+C ends the scan with
what was found, --domain finds the printers a DNS server lists; the live
scan in each scenario of its own (switched-off printers, IPv6-only and
dual-stack hosts, avahi-daemon frozen or killed mid-scan, --timeout, both
methods); --watch as printers come, change, say goodbye and are switched
off. Exits 77 (skipped) without root."""

import base64
import csv
import fcntl
import io
import json
import os
import queue
import re
import select
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab"))
from lab import LAB_SH, Lab, skip_reason  # noqa: E402

HVL_SCAN = os.path.abspath(os.environ["HVL_SCAN"]) if os.environ.get("HVL_SCAN") else ""
UPNP_PEER = os.environ.get("HVL_UPNP_PEER", "")
MDNS_FLOOD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab", "mdns_flood.py")
SNMP_AGENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab", "snmp_agent.py")
ZONES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab", "dns")
DESCRIPTIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab", "upnp", "descriptions")
PLOTTER_IP = "192.0.2.77"
IPP_IP, IPPS_IP = "192.0.2.78", "192.0.2.79"
# A formula, quotes, CRLF, a bidi override, a C1 control and a bare CR.
HOSTILE_NAME = '@Hostile, "Quoted"\r\nName\u202e\u0085\rEnd'
HOSTILE_MODEL = '=Acme, "Q" 9'
UNSAFE_RE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\u2028\u2029]")
# A watch's rows; a scan's have "driverless" too.
JSON_KEYS = {"name", "ip", "url", "source", "sources", "type", "model", "location", "addresses", "id", "last_seen",
             "status", "uuid"}
RFC3339_RE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
# Labs of concurrent runs (other worktrees) must not share a name.
SUFFIX = "".join("0123456789abcdefghijklmnopqrstuvwxyz"[os.getpid() // 36**i % 36] for i in range(4))
COUNT_RE = re.compile(r"^(\d+) devices? found\.$")
# ThreadSanitizer builds (run with TSAN_OPTIONS) start and end processes slowly.
SLOWER = 3 if os.environ.get("TSAN_OPTIONS") else 1

PRINTERS = {"instances": [
    # under both types: the second report of its address is dropped
    {"name": "Office Laser", "types": ["_printer._tcp", "_pdl-datastream._tcp"], "host": "office-laser",
     "txt": ["adminurl=http://office-laser.example/admin", "note=Room\t2.14 "]},
    {"name": "Plotter \u00c4 Room", "types": ["_pdl-datastream._tcp"], "host": "plotter", "port": 9100,
     "addresses": [PLOTTER_IP], "txt": []},
]}


# Printers that announce only IPP, one type each (ippeveprinter cannot be
# one: it always registers _printer._tcp as well).
IPP_PRINTERS = {"instances": [
    {"name": "IPP Only", "types": ["_ipp._tcp"], "host": "ipp-only", "port": 631, "addresses": [IPP_IP],
     "txt": ["ty=Halvet IPP One", "adminurl=http://ipp-only.example/"]},
    {"name": "IPPS Only", "types": ["_ipps._tcp"], "host": "ipps-only", "port": 631, "addresses": [IPPS_IP],
     "txt": ["product=(Halvet IPPS Two)"]},
]}
# python3-zeroconf refuses control characters in names; avahi-daemon does not.
HOSTILE_SERVICE = f"""<?xml version="1.0" standalone='no'?>
<service-group><name>{"".join(c if " " <= c < "~" and c not in "<&" else f"&#{ord(c)};" for c in HOSTILE_NAME)}</name>
<service><type>_printer._tcp</type><port>515</port><txt-record>ty={HOSTILE_MODEL}</txt-record></service>
</service-group>
"""

# Announcements as printers of several makers send them: hosts in .local with
# the trailing dot, adminurl with a port, a path, a query and a fragment, https
# on _ipps, no adminurl, a bare adminurl key, a TXT record whose last item is
# empty, an adminurl cut at 255 bytes. Each host has an address of its own
# (on the printer namespace's lo) and the URL each row should show.
LONG_ADMINURL = "http://KM7D1E2F.local.:80/startwlm/Start_Wlm.htm?arg11=" + "x" * 200
LONG_ADMINURL = LONG_ADMINURL[:255 - len("adminurl=")]
REAL_PRINTERS = [
    ({"name": "EPSON ET-2850 Series", "types": ["_printer._tcp"], "host": "EPSON83498A", "port": 515,
      "txt": ["txtvers=1", "ty=EPSON ET-2850 Series", "product=(EPSON ET-2850 Series)",
              "adminurl=http://EPSON83498A.local.:80/PRESENTATION/BONJOUR"]},
     "http://EPSON83498A.local:80/PRESENTATION/BONJOUR"),
    ({"name": "Brother HL-L2350DW series", "types": ["_ipps._tcp"], "host": "BRW10B1DFA23670", "port": 443,
      "txt": ["txtvers=1", "ty=Brother HL-L2350DW series", "adminurl=https://BRW10B1DFA23670.local./net/net/airprint.html"]},
     "https://BRW10B1DFA23670.local/net/net/airprint.html"),
    ({"name": "HP LaserJet MFP M234sdw (1A2B3C)", "types": ["_pdl-datastream._tcp"], "host": "HP1A2B3C",
      "port": 9100, "txt": ["ty=HP LaserJet MFP M234sdw", "adminurl=http://HP1A2B3C.local.:8080/hp/device/info?tab=home#status"]},
     "http://HP1A2B3C.local:8080/hp/device/info?tab=home#status"),
    ({"name": "KONICA MINOLTA bizhub C258", "types": ["_printer._tcp"], "host": "KMBT5E92C6", "port": 515,
      "txt": ["txtvers=1", "rp=ipp/print", "ty=KONICA MINOLTA bizhub C258", ""]},
     "http://KMBT5E92C6.local"),
    ({"name": "Canon MF743C", "types": ["_printer._tcp"], "host": "Canon5C2B1A", "port": 515,
      "txt": ["adminurl", "ty=Canon MF743C"]},
     "http://Canon5C2B1A.local"),
    ({"name": "Kyocera ECOSYS M5526cdw", "types": ["_printer._tcp"], "host": "KM7D1E2F", "port": 515,
      "txt": ["ty=Kyocera ECOSYS M5526cdw", "adminurl=" + LONG_ADMINURL]},
     LONG_ADMINURL.replace(".local.:", ".local:")),
    ({"name": "Lexmark MS431", "types": ["_ipp._tcp"], "host": "ET0021B7C3D4E5", "port": 631,
      "txt": ["ty=Lexmark MS431dn", "adminurl=http://ET0021B7C3D4E5.local.:631/"]},
     "http://ET0021B7C3D4E5.local:631/"),
]
# Run where the client's avahi-daemon runs: each URL's host through the
# system resolver (getaddrinfo, so nss-mdns), then a connection to its port.
RESOLVE_AND_CONNECT = """
import json, socket, sys, urllib.parse
out = {}
for url in sys.argv[1:]:
    u = urllib.parse.urlsplit(url)
    port = u.port or {"http": 80, "https": 443}[u.scheme]
    try:
        ip = socket.getaddrinfo(u.hostname, port, socket.AF_INET, socket.SOCK_STREAM)[0][4][0]
        socket.create_connection((ip, port), timeout=3).close()
        out[url] = ip
    except OSError as e:
        out[url] = "failed: %s" % e
print(json.dumps(out))
"""
LISTEN_ON_PORTS = """
import select, socket
socks = []
for port in (80, 443, 631, 8080):
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", port)); s.listen(16); socks.append(s)
print("ready", flush=True)
while True:
    for s in select.select(socks, [], [], 60)[0]:
        s.accept()[0].close()
"""


def read_text(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        return ""


class HvlScanInLab(unittest.TestCase):
    lab = None

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab("hs" + SUFFIX, ["p1", "p2"]).up()
        try:
            cls.ip = cls.lab.ip("p1")
            cls.upnp_ip = cls.lab.ip("p2")
            cls.lab.spawn("p2", [UPNP_PEER, cls.upnp_ip, DESCRIPTIONS, "printer.xml", "light.xml"], tag="upnp")
            log = os.path.join(cls.lab.dir, "p2", "upnp.log")
            deadline = time.monotonic() + 10
            while not read_text(log).count("ready"):
                if time.monotonic() > deadline:
                    raise RuntimeError("the UPnP peer did not come up")
                time.sleep(0.1)
            cls.lab.announce("p1", PRINTERS)
            cls.lab.wait_browse("_printer._tcp", "Office Laser")
            cls.lab.wait_browse("_pdl-datastream._tcp", "Plotter \u00c4 Room")
        except Exception:
            cls.lab.down()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()

    def setUp(self):
        self.cwd = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.cwd.cleanup()

    def scan(self, *args, timeout=60):
        return subprocess.run([LAB_SH, "exec-client", self.lab.name, "--", HVL_SCAN, *args],
                              cwd=self.cwd.name, capture_output=True, text=True, timeout=timeout)

    def write_cfg(self, mdns, upnp):
        with open(os.path.join(self.cwd.name, "hvl.cfg"), "wb") as f:
            f.write((1).to_bytes(4, "little") + mdns.to_bytes(4, "little") + upnp.to_bytes(4, "little"))

    def test_lists_the_lab_printers_and_ends_with_the_count(self):
        for engine in ((), ("--window-scan",)):
            with self.subTest(engine=engine):
                self.check_listing(self.scan(*engine))

    def check_listing(self, p):
        self.assertEqual(p.returncode, 0, p.stderr)
        lines = p.stdout.splitlines()
        self.assertEqual(lines[-1], "3 devices found.")
        rows = lines[:-1]
        self.assertEqual(len(rows), 3, p.stdout)
        # each printer by its address, with its name and URL on the same line
        expected = {
            self.ip: ("Office Laser", "http://office-laser.example/admin"),
            PLOTTER_IP: ("Plotter \u00c4 Room", ""),
            self.upnp_ip: ("Lab Printer Standard", "http://printers.example/standard"),
        }
        for ip, (name, url) in expected.items():
            with self.subTest(ip=ip):
                match = [r for r in rows if r.startswith(ip + " ")]
                self.assertEqual(len(match), 1, p.stdout)
                self.assertIn(name, match[0])
                self.assertIn(url, match[0])
                self.assertEqual(match[0].split()[1], "upnp" if ip == self.upnp_ip else "mdns")
        # the light is not a printer
        self.assertNotIn("Light", p.stdout)

    def test_both_methods_off_ends_at_once(self):
        for args, cfg in ((("--no-mdns", "--no-upnp"), None), ((), (0, 0)), (("--no-upnp",), (0, 1))):
            with self.subTest(args=args, cfg=cfg):
                if cfg:
                    self.write_cfg(*cfg)
                t0 = time.monotonic()
                p = self.scan(*args)
                elapsed = time.monotonic() - t0
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(p.stdout, "0 devices found.\n")
                self.assertLess(elapsed, 3.0)
                # hvl-scan never writes the settings file
                path = os.path.join(self.cwd.name, "hvl.cfg")
                if cfg:
                    with open(path, "rb") as f:
                        self.assertEqual(f.read()[4:8], cfg[0].to_bytes(4, "little"))
                else:
                    self.assertFalse(os.path.exists(path))

    def test_json_parses(self):
        for args, count in ((("--json",), 3), (("--json", "--no-upnp"), 2), (("--no-mdns", "--json"), 1)):
            with self.subTest(args=args):
                p = self.scan(*args)
                self.assertEqual(p.returncode, 0, p.stderr)
                doc = json.loads(p.stdout)
                self.assertIsInstance(doc, list)
                self.assertEqual(len(doc), count)
                for entry in doc:
                    self.assertEqual(set(entry), JSON_KEYS | {"driverless"})
                    self.assertEqual(entry["addresses"], [entry["ip"]])
                    self.assertIsNone(entry["status"])  # asked for with --status only
                by_ip = {e["ip"]: e for e in doc}
                self.assertEqual(len(by_ip), count)
                if "--no-mdns" not in args:
                    self.assertEqual(by_ip[self.ip]["name"], "Office Laser")
                    self.assertEqual(by_ip[self.ip]["url"], "http://office-laser.example/admin")
                    self.assertEqual(by_ip[PLOTTER_IP]["name"], "Plotter \u00c4 Room")
                    # the type of the pass that saw it first
                    self.assertEqual((by_ip[self.ip]["source"], by_ip[self.ip]["type"]), ("mdns", "_printer._tcp"))
                    self.assertEqual(by_ip[PLOTTER_IP]["type"], "_pdl-datastream._tcp")
                    self.assertEqual([by_ip[self.ip]["location"], by_ip[PLOTTER_IP]["location"]], ["Room 2.14", None])
                if "--no-upnp" not in args:
                    self.assertEqual(by_ip[self.upnp_ip]["name"], "Lab Printer Standard")
                    self.assertEqual({k: by_ip[self.upnp_ip][k] for k in ("source", "type", "model")},
                                     {"source": "upnp", "type": None, "model": "Lab Lab model"})
                self.assertNotIn("hvl.cfg", os.listdir(self.cwd.name))

    def test_sigint_stops_and_still_prints(self):
        # The window's scan runs 8 s: long enough to be interrupted.
        proc = subprocess.Popen([LAB_SH, "exec-client", self.lab.name, "--", HVL_SCAN, "--window-scan"],
                                cwd=self.cwd.name, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1.5)
        t0 = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
        self.assertLess(time.monotonic() - t0, 2.0)
        self.assertEqual(proc.returncode, 0, err)
        lines = out.splitlines()
        m = COUNT_RE.match(lines[-1])
        self.assertIsNotNone(m, out)
        self.assertEqual(int(m.group(1)), len(lines) - 1)

    def test_a_lost_table_line_is_a_failure(self):
        # A reader that is late: the pipe has room for the count line, not for a
        # printer's line, so each table line fails (EAGAIN) and the count goes out.
        r, w = os.pipe()
        with open(r, "rb") as reader:
            room = fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096) - 24  # one page
            os.write(w, b"x" * room)
            fcntl.fcntl(w, fcntl.F_SETFL, os.O_NONBLOCK)
            p = subprocess.run([LAB_SH, "exec-client", self.lab.name, "--", HVL_SCAN, "--no-upnp"],
                               cwd=self.cwd.name, stdout=w, stderr=subprocess.PIPE, timeout=60)
            os.close(w)
            self.assertEqual(reader.read()[room:], b"2 devices found.\n")
        self.assertEqual(p.returncode, 1, p.stderr)

    def test_run_sh_without_display_runs_the_scan(self):
        # run.sh builds its preset: use the one this hvl-scan was built by.
        build = os.path.dirname(os.path.dirname(HVL_SCAN))
        source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        if os.path.dirname(build) != os.path.join(source, "build"):
            self.skipTest("hvl-scan is not in a preset's build directory")
        # CI would make install-deps.sh stop the avahi-daemon of its namespace: the lab's.
        p = subprocess.run([LAB_SH, "exec-client", self.lab.name, "--", "env", "-u", "DISPLAY", "-u",
                            "WAYLAND_DISPLAY", "-u", "CI", "-u", "HVL_STOP_HOST_DAEMONS",
                            "HVL_PRESET=" + os.path.basename(build), os.path.join(source, "scripts", "run.sh"),
                            "--json"], cwd=self.cwd.name, capture_output=True, text=True, timeout=240)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stderr.count("running hvl-scan instead of the window"), 1, p.stderr)
        self.assertEqual({e["ip"] for e in json.loads(p.stdout)}, {self.ip, PLOTTER_IP, self.upnp_ip})


class HvlScanIpp(unittest.TestCase):
    """--ipp, and CSV of names that need quoting."""

    def test_ipp_only_printers_and_csv(self):
        with Lab("hi" + SUFFIX, ["p1", "p2", "p3"]) as lab, tempfile.TemporaryDirectory() as cwd:
            services = os.path.join(cwd, "services")
            os.mkdir(services)
            with open(os.path.join(services, "hostile.service"), "w", encoding="utf-8") as f:
                f.write(HOSTILE_SERVICE)
            lab.avahi("p2", services)
            lab.announce("p1", IPP_PRINTERS)
            lab.ippeveprinter("p3", "Lab Everywhere")
            lab.wait_browse("_ipp._tcp", "IPP Only")
            lab.wait_browse("_ipps._tcp", "IPPS Only")
            lab.wait_browse("_ipps._tcp", "Lab Everywhere")
            lab.wait_browse("_printer._tcp", HOSTILE_NAME)
            hostile_ip, eve_ip = lab.ip("p2"), lab.ip("p3")

            def scan(*args):
                t0 = time.monotonic()
                p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--window-scan",
                                    *args],
                                   cwd=cwd, capture_output=True, timeout=60)  # bytes: CRLF stays CRLF
                self.assertEqual(p.returncode, 0, p.stderr)
                return p.stdout.decode("utf-8"), time.monotonic() - t0

            # Without --ipp: the IPP-only printers are not there; CSV reads back whole.
            out, plain_time = scan("--csv")
            self.assertTrue(out.endswith("\r\n"), repr(out))
            records = list(csv.reader(io.StringIO(out, newline="")))
            self.assertEqual(records[0], ["name", "ip", "url", "source", "sources", "type", "model", "location",
                                          "addresses", "id", "last_seen"])
            by_ip = {r[1]: r for r in records[1:]}
            self.assertEqual(len(by_ip), len(records) - 1)
            self.assertEqual(set(by_ip), {hostile_ip, eve_ip})
            # A formula is text, controls and reordering are '?', CRLF stays.
            self.assertEqual(by_ip[hostile_ip], ["'@Hostile, \"Quoted\"\r\nName???End", hostile_ip,
                                                 f"http://{lab.name}-p2.local", "mdns", "mdns", "_printer._tcp",
                                                 "'" + HOSTILE_MODEL, "", hostile_ip, "ip:" + hostile_ip,
                                                 by_ip[hostile_ip][-1]])
            self.assertRegex(by_ip[hostile_ip][-1], RFC3339_RE)
            # The table: one line per printer, nothing that steers the terminal.
            out, _ = scan()
            line = next(ln for ln in out.splitlines() if ln.startswith(hostile_ip))
            self.assertTrue(line.endswith('@Hostile, "Quoted"??Name???End  ' + f"http://{lab.name}-p2.local"), line)
            self.assertIsNone(UNSAFE_RE.search(out.replace("\n", "")), repr(out))

            # With --ipp: one more pass, and one row per address still.
            out, ipp_time = scan("--ipp", "--json")
            rows = json.loads(out)
            by_ip = {r["ip"]: r for r in rows}
            self.assertEqual(len(by_ip), len(rows))
            self.assertEqual(set(by_ip), {hostile_ip, eve_ip, IPP_IP, IPPS_IP})
            self.assertEqual(by_ip[eve_ip]["type"], "_printer._tcp")  # it said so first
            self.assertEqual({k: by_ip[IPP_IP][k] for k in ("name", "url", "type", "model")},
                             {"name": "IPP Only", "url": "http://ipp-only.example/", "type": "_ipp._tcp",
                              "model": "Halvet IPP One"})
            self.assertEqual({k: by_ip[IPPS_IP][k] for k in ("name", "url", "type", "model")},
                             {"name": "IPPS Only", "url": "http://ipps-only.local", "type": "_ipps._tcp",
                              "model": "Halvet IPPS Two"})
            self.assertLessEqual(ipp_time - plain_time, 4.5)
            # JSON keeps the name whole, its unsafe characters escaped.
            self.assertEqual(by_ip[hostile_ip]["name"], HOSTILE_NAME)
            self.assertEqual(by_ip[hostile_ip]["model"], HOSTILE_MODEL)  # from TXT "ty"
            self.assertIsNone(UNSAFE_RE.search(out.replace("\n", "")), repr(out))
            self.assertIn("\\u202E\\u0085\\r", out)

            # The live scan finds the same printers, all types browsed at once.
            p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--ipp", "--json"],
                               cwd=cwd, capture_output=True, text=True, timeout=60)
            live = {r["ip"]: r for r in json.loads(p.stdout)}
            self.assertEqual(set(live), set(by_ip))
            self.assertEqual(live[IPPS_IP]["url"], "http://ipps-only.local")


LIVE_PRINTERS = {"instances": [
    {"name": "Live {i}", "types": ["_printer._tcp"], "host": "live-{i}", "addresses": ["198.51.100.{i}"],
     "txt": ["rp=printers/live-{i}"], "count": 20}]}
OFF_PRINTERS = {"instances": [
    {"name": "Off {i}", "types": ["_printer._tcp"], "host": "off-{i}", "addresses": ["203.0.113.{i}"],
     "count": 6}]}
# Speaks mDNS over IPv6 only and has only a link-local address.
SIX_ONLY = {"transport": "ipv6", "instances": [
    {"name": "Six Only", "types": ["_pdl-datastream._tcp"], "host": "six-only", "addresses": ["fe80::5678"],
     "txt": ["ty=Six Model"]}]}
DUAL_SERVICE = """<?xml version="1.0" standalone='no'?>
<service-group><name>Dual Stack</name>
<service><type>_printer._tcp</type><port>515</port></service>
</service-group>
"""


class HvlScanDirect(unittest.TestCase):
    """One-shot mDNS queries list what a small avahi cache loses, and an
    IPv6-only printer the client's IPv4-only avahi-daemon never hears, with
    the rows avahi's resolves give the printers it does list."""

    def test_direct_path_lists_past_a_small_cache_with_avahis_rows(self):
        lab = Lab("hd" + SUFFIX, ["p1", "p2"], cache_entries=12).up()
        try:
            lab.announce("p2", SIX_ONLY, tag="six")
            lab.announce("p1", {"instances": [{
                "name": "Small Cache {i}", "types": ["_printer._tcp"], "host": "sc{i}", "count": 12,
                "addresses": ["198.51.100.{i}"], "txt": ["ty=Model {i}", "UUID=5ca1e000-0000-0000-0000-0000000000{i}"]}]})
            # Not waited for by name: which of them a 12-entry cache holds is chance.
            runs = {}
            for args in ((), ("--no-mdns-direct",)):
                p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--no-wsd",
                                    "--json", *args], capture_output=True, text=True, timeout=60)
                self.assertEqual(p.returncode, 0, p.stderr)
                runs[args] = {r["name"]: {k: v for k, v in r.items() if k != "last_seen"} for r in json.loads(p.stdout)}
        finally:
            lab.down()
        direct, avahi = runs[()], runs[("--no-mdns-direct",)]
        self.assertEqual(set(direct), {f"Small Cache {i}" for i in range(1, 13)} | {"Six Only"})
        self.assertEqual(direct["Six Only"]["ip"], "fe80::5678%eth0")  # over ff02::fb
        self.assertNotIn("Six Only", avahi)
        self.assertLess(len(avahi), 12, "the lab's cache no longer loses printers: the case proves nothing")
        self.assertGreater(len(avahi), 0)
        for name, row in avahi.items():
            self.assertEqual(direct[name], row)

    def test_a_late_answer_counts_while_the_scan_waits_for_avahi(self):
        """A busy printer that answers one-shot queries only 0.8 s late is
        listed while a switched-off printer's resolve holds the scan."""
        lab = Lab("hz" + SUFFIX, ["p1", "p2"]).up()
        try:
            lab.stop_avahi("p2")
            lab.spawn("p2", ["/usr/bin/python3", MDNS_FLOOD, "1", "--delay", "0.8", "--name", "Late",
                             "--net", "198.18.0"], tag="late")
            lab.stale("p1", {"instances": [{"name": "Off", "types": ["_printer._tcp"], "host": "off",
                                            "addresses": ["192.0.2.99"]}]})
            time.sleep(2)  # its SRV and A records (TTL 1 s) leave the cache
            p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--no-wsd",
                                "--json"], capture_output=True, text=True, timeout=60)
        finally:
            lab.down()
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual([(r["name"], r["ip"]) for r in json.loads(p.stdout)], [("Late 0", "198.18.0.1")])

    def test_silent_and_hostile_responders(self):
        """A responder that answers only queries from port 5353 is listed
        through avahi; one that floods every one-shot query with other hosts'
        instances costs the scan neither its bound nor a printer."""
        lab = Lab("hf" + SUFFIX, ["p1", "p2", "p3"]).up()
        try:
            lab.announce("p1", {"instances": [{"name": "Zero {i}", "types": ["_ipp._tcp"], "host": "zero{i}",
                                               "count": 3, "port": 631,
                                               "txt": ["ty=Zero {i}", "UUID=2e50e000-0000-0000-0000-00000000000{i}"]}]})
            lab.announce("p2", {"one_shot": False, "instances": [{"name": "Quiet One", "types": ["_printer._tcp"],
                                                                 "host": "quiet", "txt": []}]})
            lab.stop_avahi("p3")
            lab.spawn("p3", ["/usr/bin/python3", MDNS_FLOOD, "3000"], tag="flood")
            lab.wait_browse("_printer._tcp", "Quiet One")
            lab.wait_browse("_ipp._tcp", "Zero 3")
            runs = {}
            for args in (("--no-mdns-direct",), ()):
                t0 = time.monotonic()
                p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--no-wsd",
                                    "--ipp", "--json", *args], capture_output=True, text=True, timeout=60)
                self.assertEqual(p.returncode, 0, p.stderr)
                runs[args] = ({r["name"]: {k: v for k, v in r.items() if not k.endswith("_seen")}
                               for r in json.loads(p.stdout)}, time.monotonic() - t0)
            with open(os.path.join(lab.dir, "p3", "flood.log"), encoding="utf-8") as f:
                flooded = f.read()
        finally:
            lab.down()
        (avahi, avahi_took), (direct, took) = runs[("--no-mdns-direct",)], runs[()]
        self.assertIn("flooded 3000", flooded)
        self.assertEqual(set(avahi), {"Zero 1", "Zero 2", "Zero 3", "Quiet One"})
        for name, row in avahi.items():
            self.assertEqual(direct.get(name), row)
        # Flood rows merge by address; none takes a real printer's.
        flood = [r for name, r in direct.items() if name not in avahi]
        self.assertTrue(all(r["ip"].startswith("203.0.113.") for r in flood), flood)
        self.assertLess(took, avahi_took + 3 * SLOWER)


class HvlScanLive(unittest.TestCase):
    """The live scan, one case per scenario, on a lab whose avahi-daemons
    speak IPv6 too: 20 live and 6 switched-off printers, an IPv6-only one, a
    dual-stack avahi host seen over both protocols, and a UPnP printer."""

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab("hl" + SUFFIX, ["p1", "p2", "p3", "p4"], ipv6=True).up()
        try:
            cls.cwd = tempfile.mkdtemp()
            os.mkdir(os.path.join(cls.cwd, "services"))
            with open(os.path.join(cls.cwd, "services", "dual.service"), "w", encoding="utf-8") as f:
                f.write(DUAL_SERVICE)
            cls.lab.avahi("p3", os.path.join(cls.cwd, "services"))
            cls.lab.spawn("p4", [UPNP_PEER, cls.lab.ip("p4"), DESCRIPTIONS, "printer.xml"], tag="upnp")
            cls.lab.announce("p1", LIVE_PRINTERS)
            cls.lab.announce("p2", SIX_ONLY, tag="six")
            cls.announce_off()
            cls.lab.wait_browse("_printer._tcp", "Live 20", "Dual Stack")
            cls.lab.wait_browse("_pdl-datastream._tcp", "Six Only")
        except Exception:
            cls.lab.down()
            raise

    @classmethod
    def announce_off(cls, tag="off"):
        cls.lab.stale("p2", OFF_PRINTERS, tag=tag)
        time.sleep(2)  # their SRV and A records (TTL 1 s) leave the cache

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()
        subprocess.run(["rm", "-rf", cls.cwd], check=False)

    def scan(self, *args, during=None):
        """hvl-scan's status, output, stderr and time; `during` runs once the
        first row is out, and its time is returned as well."""
        t0 = time.monotonic()
        proc = subprocess.Popen([LAB_SH, "exec-client", self.lab.name, "--", HVL_SCAN, *args], cwd=self.cwd,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = proc.stdout.readline() if during else ""
        acted = during() - t0 if during else None
        # Read on from the same buffered stream (stderr is a line or two).
        with proc:
            out, err = proc.stdout.read(), proc.stderr.read()
            proc.wait(timeout=60)
        return proc.returncode, first + out, err, time.monotonic() - t0, acted

    def rows(self, out):
        lines = out.splitlines()
        self.assertRegex(lines[-1], COUNT_RE)
        self.assertEqual(int(COUNT_RE.match(lines[-1]).group(1)), len(lines) - 1, out)
        return {ln.split()[0]: ln for ln in lines[:-1]}

    def test_scenarios(self):
        live_ips = {f"198.51.100.{i}" for i in range(1, 21)}
        dual_ip, upnp_ip = self.lab.ip("p3"), self.lab.ip("p4")

        def act_after(seconds, action):
            def act():
                time.sleep(seconds)  # after the first row
                at = time.monotonic()
                self.lab.client_avahi(action)
                return at
            return act

        with self.subTest("switched-off printers cost one resolve bound, not the scan"):
            status, out, err, elapsed, _ = self.scan("--no-upnp")
            self.assertEqual(status, 0, err)
            rows = self.rows(out)
            self.assertTrue(live_ips <= set(rows), out)
            self.assertFalse(any(ip.startswith("203.0.113.") for ip in rows), out)
            self.assertLess(elapsed, 4.5)  # the 2 s bound, with the lab's own start-up

        with self.subTest("IPv6-only and dual-stack printers, one row each"):
            status, out, err, _, _ = self.scan("--no-upnp", "--json")
            self.assertEqual(status, 0, err)
            doc = json.loads(out)
            by_name = {e["name"]: e for e in doc}
            self.assertEqual(len(by_name), len(doc), out)  # seen over IPv4 and IPv6: still one row
            six = by_name["Six Only"]
            self.assertEqual((six["ip"], six["addresses"], six["url"]),
                             ("fe80::5678%eth0", ["fe80::5678%eth0"], "http://six-only.local"))
            dual = by_name["Dual Stack"]
            self.assertEqual(dual["ip"], dual_ip)
            self.assertEqual(dual["addresses"][0], dual_ip)  # IPv4 first
            self.assertTrue(all(a.startswith("fe80::") and a.endswith("%eth0") for a in dual["addresses"][1:]),
                            dual)
            self.assertEqual(by_name["Live 3"]["addresses"], ["198.51.100.3"])

        with self.subTest("both methods"):
            status, out, err, elapsed, _ = self.scan()
            self.assertEqual(status, 0, err)
            rows = self.rows(out)
            self.assertTrue(live_ips | {dual_ip, upnp_ip, "fe80::5678%eth0"} <= set(rows), out)
            self.assertEqual(rows[upnp_ip].split()[1], "upnp")
            self.assertLess(elapsed, 4.5)

        with self.subTest("--timeout ends the scan with what it found"):
            status, out, err, elapsed, _ = self.scan("--no-upnp", "--timeout", "0.6")
            self.assertEqual(status, 0, err)
            self.rows(out)
            self.assertLess(elapsed, 2.0)

        with self.subTest("avahi-daemon frozen mid-scan: done within the resolve bound"):
            try:
                status, out, err, elapsed, frozen = self.scan("--no-upnp", "--no-wsd", during=act_after(0.2, "freeze"))
            finally:
                self.lab.client_avahi("thaw")
            self.assertEqual(status, 0, err)
            self.rows(out)
            self.assertLess(elapsed - frozen, (2.0 + 1.0) * SLOWER)

        with self.subTest("avahi-daemon killed mid-scan: no crash, the rows kept"):
            self.lab.client_avahi("restart")
            self.lab.wait_browse("_printer._tcp", "Live 20")
            self.announce_off("off2")
            try:
                status, out, err, elapsed, killed = self.scan("--no-upnp", "--no-wsd", during=act_after(0.2, "kill"))
            finally:
                self.lab.client_avahi("restart")
            self.assertEqual(status, 0, err)
            self.assertGreaterEqual(len(self.rows(out)), 1, out)
            self.assertLess(elapsed - killed, 1.0 * SLOWER)


def wsd_device(n, types, **extra):
    return {"uuid": f"7e1a0000-0000-4000-8000-00000000000{n}", "types": types, **extra}


PRINT = "wsdp:Device wprt:PrintDeviceType"
WSD_DEVICES = {"devices": [
    wsd_device(1, PRINT + " wscn:ScanDeviceType", address="192.0.2.101", metadata={
        "FriendlyName": "WSD Laser", "Manufacturer": "Halvet", "ModelName": "W1", "PresentationUrl": "http://w1/"}),
    # no XAddrs, a printer only by its hosted service: a Resolve, then the metadata
    wsd_device(2, "wsdp:Device", xaddrs=False, address="192.0.2.102", metadata={
        "Manufacturer": "Halvet", "ModelName": "W2", "hosted": "wprt:PrinterServiceType"}),
    wsd_device(3, "wsdp:Device pub:Computer", address="192.0.2.103", metadata={"FriendlyName": "A PC"}),
    # wscn:PrintDeviceType only looks like the print type: its namespace is the scan one
    wsd_device(4, "wscn:ScanDeviceType wscn:PrintDeviceType", address="192.0.2.104", metadata={"FriendlyName": "Scan"}),
    wsd_device(5, PRINT, transport="ipv6", metadata={"FriendlyName": "WSD Six"}),
    wsd_device(6, PRINT, address="192.0.2.106", metadata="hang"),
    wsd_device(7, PRINT, metadata={"FriendlyName": "Office Laser over WSD"}),  # p1's address: mDNS too
]}


class HvlScanWsd(unittest.TestCase):
    """WS-Discovery devices of the lab's responder beside an mDNS printer."""

    def test_wsd_printers_listed_and_merged(self):
        with Lab("hw" + SUFFIX, ["p1"]) as lab, tempfile.TemporaryDirectory() as cwd:
            # well-formed, but its Content-Length is past the 256 KiB cap: never read
            too_big = wsd_device(8, PRINT, address="192.0.2.108",
                                 metadata={"FriendlyName": "Too Big", "pad": 300 << 10})
            lab.wsd("p1", {"devices": WSD_DEVICES["devices"] + [too_big]})
            lab.announce("p1", {"instances": [PRINTERS["instances"][0]]})
            lab.wait_browse("_printer._tcp", "Office Laser")
            for args in (["--json"], ["--json", "--no-wsd"]):
                with self.subTest(args=args):
                    t0 = time.monotonic()
                    p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", *args],
                                       cwd=cwd, capture_output=True, text=True, timeout=60)
                    elapsed = time.monotonic() - t0
                    self.assertEqual(p.returncode, 0, p.stderr)
                    rows = {r["ip"]: r for r in json.loads(p.stdout)}
                    office = rows.pop(lab.ip("p1"))
                    if "--no-wsd" in args:
                        self.assertEqual((rows, office["sources"]), ({}, ["mdns"]))
                        continue
                    self.assertEqual(sorted(office["sources"]), ["mdns", "wsd"])  # one row for both
                    six = next(ip for ip in rows if ip.startswith("fe80::"))
                    self.assertTrue(six.endswith("%eth0"), six)
                    self.assertEqual({ip: (r["name"], r["model"], r["url"], r["source"]) for ip, r in rows.items()}, {
                        "192.0.2.101": ("WSD Laser", "Halvet W1", "http://w1/", "wsd"),
                        "192.0.2.102": ("Halvet W2", "Halvet W2", "http://192.0.2.102/", "wsd"),
                        six: ("WSD Six", None, f"http://[{six.replace('%', '%25')}]/", "wsd"),
                        "192.0.2.106": ("192.0.2.106", None, "http://192.0.2.106/", "wsd"),  # metadata never came
                        "192.0.2.108": ("192.0.2.108", None, "http://192.0.2.108/", "wsd"),
                    })
                    self.assertEqual(rows["192.0.2.101"]["uuid"], "urn:uuid:" + WSD_DEVICES["devices"][0]["uuid"])
                    self.assertLess(elapsed, 4.5)  # the hanging Get costs its 2 s bound, no more
            # the table shows p1 once WSD names it, also after mDNS listed it first
            p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--source", "wsd"],
                               cwd=cwd, capture_output=True, text=True, timeout=60)
            self.assertRegex(p.stdout, rf"(?m)^{re.escape(lab.ip('p1'))} ")

    def test_one_row_per_printer_by_identity(self):
        # One UUID spelled three ways (TXT bare, WSD in capitals, the UDN), its
        # IPv4 WSD answers late; twins of one name and model beside it.
        uuid, twins = "6c1b6a1e-0001-4d2b-9a51-0a0b0c0d0e01", ["7e1a0000-0000-4000-8000-0000000000a1",
                                                               "7e1a0000-0000-4000-8000-0000000000a2"]
        twin = {"types": PRINT, "transport": "both", "metadata": {"FriendlyName": "Twin", "ModelName": "T1"}}
        with Lab("hi" + SUFFIX, ["p1"], ipv6=True) as lab:
            ip = lab.ip("p1")
            lab.spawn("p1", [UPNP_PEER, ip, DESCRIPTIONS, "printer.xml"], tag="upnp")
            lab.wsd("p1", {"devices": [
                {"uuid": uuid.upper(), "types": PRINT, "transport": "both", "delay": {"ipv4": 0.3}, "metadata": {}},
                *({**twin, "uuid": u, "address": f"192.0.2.12{i}"} for i, u in enumerate(twins))]})
            lab.announce("p1", {"transport": "both", "instances": [
                {"name": "Lab Printer Standard", "types": ["_printer._tcp"], "host": "lab-standard",
                 "addresses": [ip, "fe80::39"], "txt": ["UUID=" + uuid.replace("-", "")]}]})
            lab.wait_browse("_printer._tcp", "Lab Printer Standard")
            deadline = time.monotonic() + 10
            while "ready" not in read_text(os.path.join(lab.dir, "p1", "upnp.log")) and time.monotonic() < deadline:
                time.sleep(0.1)
            expected = {uuid: ip, twins[0]: "192.0.2.120", twins[1]: "192.0.2.121"}
            p = lab.exec_client([HVL_SCAN, "--json"])
            rows = {r["id"]: r for r in json.loads(p.stdout)}
            self.assertEqual({i: r["ip"] for i, r in rows.items()}, expected, p.stdout)
            self.assertEqual(sorted(rows[uuid]["sources"]), ["mdns", "upnp", "wsd"])
            for r in rows.values():  # every address, the IPv4 one first
                self.assertEqual(r["addresses"][0], r["ip"])
                self.assertTrue(any(a.startswith("fe80::") and a.endswith("%eth0") for a in r["addresses"]), r)
            p = lab.exec_client([HVL_SCAN, "--watch", "--json", "--watch-interval", "1", "--timeout", "4.5"])
            events = [json.loads(line) for line in p.stdout.splitlines()]
            self.assertEqual(sorted((e["event"], e["row"]["id"]) for e in events if e["event"] != "change"),
                             sorted(("add", i) for i in expected), p.stdout)
            last = {e["row"]["id"]: e["row"]["ip"] for e in events}
            self.assertEqual(last, expected)
            # A late answer never sends a printer back and forth between addresses or URLs.
            for i in expected:
                seen = [(e["row"]["ip"], e["row"]["url"]) for e in events if e["row"]["id"] == i]
                steps = [s for n, s in enumerate(seen) if n == 0 or s != seen[n - 1]]
                self.assertEqual(len(steps), len(set(steps)), p.stdout)

    def test_watch_hello_flood_and_bye_in_capitals(self):
        with Lab("hf" + SUFFIX, ["p1"]) as lab:
            lab.wsd("p1", {"hello_every": 0.1, "bye_upper": True,
                           "devices": [wsd_device(1, PRINT, metadata={"FriendlyName": "Flood"})]})
            proc = subprocess.Popen([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--watch", "--json",
                                     "--no-mdns", "--no-upnp", "--timeout", "15"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                self.assertEqual(json.loads(proc.stdout.readline())["event"], "add")
                time.sleep(3)
                with open(os.path.join(lab.dir, "p1", "wsd.log")) as f:
                    self.assertEqual(f.read().count("probe "), 1)  # not a search per Hello
                lab.kill("wsd")  # its Bye names the endpoint in capitals
                line = proc.stdout.readline()
                self.assertEqual(json.loads(line or "{}").get("reason"), "goodbye", line)
            finally:
                proc.send_signal(signal.SIGINT)
                proc.communicate(timeout=10)


TLS_IP = "192.0.2.90"  # a second address of an ippeveprinter's host, announced only as _ipps
STATUS_ANNOUNCED = {"instances": [
    {"name": "Lab TLS", "types": ["_ipps._tcp"], "host": "lab-tls", "port": 631, "addresses": [TLS_IP],
     "txt": ["rp=ipp/print"]},
    # nothing listens on 631 there
    {"name": "Lab Refusing", "types": ["_ipp._tcp"], "host": "lab-refusing", "port": 631, "txt": ["rp=ipp/print"]},
]}


class HvlScanStatus(unittest.TestCase):
    """--status: each outcome, over TLS too, within its bound; the next scan
    sees a supply change."""

    def test_states_supplies_and_bounds(self):
        with Lab("st" + SUFFIX, ["p1", "p2", "p3", "p4"]) as lab, tempfile.TemporaryDirectory() as cwd:
            lab.ippeveprinter("p1", "Lab Idle", args=["-l", "Floor 3 east"])
            lab.ippeveprinter("p2", "Lab Everywhere", args=["-l", "Floor 3 west"])
            # on lo, so that p2's avahi-daemon does not publish it: the client reaches it all the same
            lab.exec("p2", ["ip", "addr", "add", f"{TLS_IP}/32", "dev", "lo"]).check_returncode()
            lab.announce("p3", STATUS_ANNOUNCED)
            lab.announce("p4", {"instances": [{"name": "Lab Asleep", "types": ["_ipp._tcp"], "host": "lab-asleep",
                                               "port": 631, "txt": []}]})
            for stype, name in (("_printer._tcp", "Lab Idle"), ("_printer._tcp", "Lab Everywhere"),
                                ("_ipps._tcp", "Lab TLS"), ("_ipp._tcp", "Lab Refusing"),
                                ("_ipp._tcp", "Lab Asleep")):
                lab.wait_browse(stype, name)
            idle_ip, eve_ip, refusing_ip, asleep_ip = (lab.ip(h) for h in ("p1", "p2", "p3", "p4"))
            # whatever p4 sends from port 631 (its refusals) goes nowhere; mDNS still flows
            lab.exec("p4", ["ip", "rule", "add", "ipproto", "tcp", "sport", "631", "blackhole"]).check_returncode()

            def scan(*args, bound="2", status=3):
                t0 = time.monotonic()
                p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--ipp",
                                    "--status", "--status-timeout", bound, *args],
                                   cwd=cwd, capture_output=True, timeout=90)
                # a printer that did not answer: 3
                self.assertEqual(p.returncode, status, p.stderr)
                return p.stdout.decode("utf-8"), time.monotonic() - t0

            out, with_status = scan("--json")
            doc = json.loads(out)
            by_ip = {r["ip"]: r["status"] for r in doc}
            types = {r["ip"]: r["type"] for r in doc}
            self.assertEqual({ip: s["state"] for ip, s in by_ip.items()},
                             {idle_ip: "idle", eve_ip: "idle", refusing_ip: "no IPP", asleep_ip: "no answer"})
            # Lab TLS is Lab Everywhere at another address: its printer-uuid makes them one row.
            eve = next(r for r in doc if r["ip"] == eve_ip)
            # (and the link-local IPv6 address its avahi-daemon announces in
            # answers to one-shot queries, which the lab's IPv4-only daemons drop)
            self.assertEqual([a for a in eve["addresses"] if not a.startswith("fe80:")], [eve_ip, TLS_IP])
            self.assertEqual("urn:uuid:" + eve["id"], by_ip[eve_ip]["uuid"].lower())
            # asked as the type that listed it says: ippeveprinter announces _printer, _ipp and _ipps
            scheme = "ipps" if types[idle_ip] == "_ipps._tcp" else "ipp"
            self.assertEqual(by_ip[idle_ip]["uri"], f"{scheme}://{idle_ip}:631/ipp/print")
            self.assertEqual(by_ip[asleep_ip]["uri"], f"ipp://{asleep_ip}:631/ipp/print")  # rp's default
            self.assertEqual((by_ip[idle_ip]["accepting"], by_ip[idle_ip]["reasons"]), (True, []))
            supplies = {s["name"]: s for s in by_ip[idle_ip]["supplies"]}
            self.assertEqual(supplies["Black Toner"], {"name": "Black Toner", "type": "toner", "color": "black",
                                                       "level": 75, "low": None, "level_text": None,
                                                       "receptacle": False})
            self.assertIsNone(by_ip[refusing_ip]["accepting"])
            # ippeveprinter's -l: from TXT "note" or, for _printer._tcp (empty TXT), from IPP
            self.assertEqual({r["ip"]: r["location"] for r in doc if r["ip"] in (idle_ip, refusing_ip)},
                             {idle_ip: "Floor 3 east", refusing_ip: None})
            # A supply change on the printer's own page is seen on the next scan.
            lab.exec_client(["curl", "-sf", "-m", "5", "-o", "/dev/null",
                             f"http://{idle_ip}:631/supplies?supply0=25&supply1=4"]).check_returncode()
            out, _ = scan()
            lines = {line.split()[0]: line for line in out.splitlines() if line[:1].isdigit()}
            self.assertTrue(lines[idle_ip].endswith("  idle  toner-low-report (Black Toner 4%)"), lines[idle_ip])
            self.assertTrue(lines[asleep_ip].endswith("  no answer"), lines[asleep_ip])
            self.assertIn("  idle  ", lines[TLS_IP])  # asked over TLS
            self.assertEqual(out.splitlines()[-1], "5 devices found.")
            # --timeout bounds the questions too: the sleeping printer is given up then
            out, took = scan("--timeout", "1.5", bound="10")
            self.assertLess(took, 5)
            self.assertTrue({ln.split()[0]: ln for ln in out.splitlines()}[asleep_ip].endswith("  no answer"), out)
            # The floor's printers low on toner; those filtered out do not set the exit status.
            out, _ = scan("--location", "^FLOOR 3", "--state", "idle,printing", "--supply-below", "10", status=0)
            self.assertEqual(out.splitlines(), [lines[idle_ip], "5 devices found, 1 shown."])
            out, _ = scan("--csv")
            records = list(csv.reader(io.StringIO(out, newline="")))
            self.assertEqual(records[0][-10:-5], ["state", "reasons", "supplies", "status_source", "page_count"])
            by_ip = {r[1]: r[-10:-5] for r in records[1:]}
            # What Windows' IPP class driver and Mopria read, as ippeveprinter tells it
            extra = dict(zip(records[0][-5:], {r[1]: r[-5:] for r in records[1:]}[idle_ip]))
            self.assertTrue(extra["device_id"].startswith("MFG:") and "ipp-everywhere" in extra["ipp_features"], extra)
            self.assertEqual(by_ip[idle_ip], ["idle", "toner-low-report", "Toner Waste Tank=75% full;Black Toner=4%", "ipp", ""])


# A CUPS daemon of the lab's own: its files under DIR, the client's 631 and a socket.
CUPSD_CONF = ("Listen DIR/cups.sock\nListen 192.0.2.1:631\nBrowsing No\nDefaultAuthType None\n<Location />\n"
              "Allow all\n</Location>\n<Policy default>\n<Limit All>\nAllow all\n</Limit>\n</Policy>\n")
CUPS_FILES = "".join(f"{key} DIR/{key}\n" for key in ("ServerRoot", "RequestRoot", "CacheDir", "StateDir", "TempDir",
                                                        "ErrorLog", "AccessLog", "PageLog"))
OPERATION_RE = re.compile(r"^192\.0\.2\.1 ([A-Z][A-Za-z-]+) [a-z]+-[a-z-]+$", re.M)


class HvlScanDriverless(unittest.TestCase):
    """--driverless: each verdict equals whether CUPS's own driverless setup
    succeeds, with its reasons, asking nothing but Get-Printer-Attributes;
    --identify with and without Identify-Printer."""

    def test_verdicts_match_cups_and_identify(self):
        variants = {"p1": ["-vv"], "p2": ["-v", "-f", "application/pdf"], "p3": ["-v", "-f", "application/postscript"],
                    "p4": ["-v", "-V", "1.1"]}
        size = "MEMBER collection media-size {{ MEMBER {0} x-dimension {1} MEMBER {0} y-dimension {2} }}"
        pdf = "ATTR mimeMediaType document-format-supported application/pdf\n"
        # Only ippeveprinter's core attributes: raster formats without theirs; PDF
        # with legacy media keywords, a size range only, a real size (the control),
        # and a reply libcups finds invalid.
        files = {"p5": "ATTR text printer-info Bare\n", "p6": pdf + "ATTR keyword media-supported iso-a4,na-letter\n",
                 "p7": pdf + "ATTR collection media-col-database { %s }\n" % size.format("rangeOfInteger", "7620-21590",
                                                                                         "12700-35560"),
                 "p8": pdf + "ATTR collection media-col-database { %s }\n" % size.format("integer", 21000, 29700),
                 "p9": pdf + "ATTR keyword media-supported iso_a4_210x297mm,\"bad key\"\n"}
        with Lab("dl" + SUFFIX, [f"p{i}" for i in range(1, 10)]) as lab, tempfile.TemporaryDirectory() as cwd:
            for host, args in variants.items():
                lab.ippeveprinter(host, "Lab " + host, args=args)
            for host, text in files.items():
                with open(f"{cwd}/{host}.conf", "w", encoding="utf-8") as f:
                    f.write(text)
                lab.avahi(host)
                lab.spawn(host, ["ippeveprinter", "-p", "631", "-v", "-d", cwd, "-a", f"{cwd}/{host}.conf",
                                 "Lab " + host], tag="ippeveprinter")
            for host in variants.keys() | files.keys():
                lab.wait_browse("_ipp._tcp", "Lab " + host)
            p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--no-wsd", "--ipp",
                                "--driverless", "--json"], cwd=cwd, capture_output=True, timeout=60)
            rows = {r["name"]: r for r in json.loads(p.stdout)}
            verdicts = {n: (r["driverless"]["verdict"], [c["code"] for c in r["driverless"]["reasons"]
                                                         if c["blocks_cups"]]) for n, r in rows.items()}
            self.assertEqual(verdicts, {"Lab p1": ("ready", []), "Lab p2": ("ready", []), "Lab p4": ("ready", []),
                                        "Lab p3": ("not ready", ["no-driverless-format"]),
                                        "Lab p5": ("not ready", ["no-media-database", "no-urf-supported",
                                                                 "no-raster-resolution"]),
                                        "Lab p6": ("not ready", ["no-usable-media-size"]),
                                        "Lab p7": ("not ready", ["no-usable-media-size"]),
                                        "Lab p8": ("ready", []), "Lab p9": ("not ready", ["invalid-reply"])})
            self.assertEqual(rows["Lab p4"]["status"]["state"], "idle")  # IPP/1.1 only: asked again in 1.1
            for host in variants.keys() | files.keys():
                log = read_text(f"{lab.dir}/{host}/ippeveprinter.log")
                self.assertEqual(set(OPERATION_RE.findall(log)), {"Get-Printer-Attributes"}, host)
            # The oracle: CUPS itself, given the printed setup line (or the same for a printer not ready).
            cups = f"{lab.dir}/cups"
            for d in ("ServerRoot", "RequestRoot", "CacheDir", "StateDir", "TempDir"):
                os.makedirs(f"{cups}/{d}")
            for name, text in (("cupsd.conf", CUPSD_CONF), ("cups-files.conf", CUPS_FILES)):
                with open(f"{cups}/{name}", "w", encoding="utf-8") as f:
                    f.write(text.replace("DIR", cups))
            # Where the client's names resolve (.local by nss-mdns), as on a desktop.
            avahi = [ln.split()[0] for ln in read_text(f"{lab.dir}/pids").splitlines() if ln.split()[2:4] == ["client", "avahi"]]
            lab.spawn("client", ["nsenter", "-t", avahi[-1], "-m", "cupsd", "-f", "-c", f"{cups}/cupsd.conf",
                                 "-s", f"{cups}/cups-files.conf"], "cupsd")
            deadline = time.monotonic() + 10  # on a busy machine cupsd listens a while after it starts
            while not os.path.exists(f"{cups}/cups.sock"):
                self.assertLess(time.monotonic(), deadline, "cupsd did not listen")
                time.sleep(0.1)
            # dnssd:// where CUPS has that backend, else the printer's .local name: neither is its address
            uri_re = "dnssd://Lab%20p" if os.path.exists("/usr/lib/cups/backend/dnssd") else r"ipp://[^/]*p\d\.local:"
            for name, row in rows.items():
                # The line as printed, through a shell: a dnssd:// URI cupsd resolves itself.
                setup = row["driverless"]["setup"] or f"lpadmin -p q -E -v ipp://{row['ip']}:631/ipp/print -m everywhere"
                self.assertRegex(setup.split()[5], uri_re if row["driverless"]["setup"] else "ipp:")
                lab.exec_client(["env", f"CUPS_SERVER={cups}/cups.sock", "sh", "-c", setup]).check_returncode()
                ppd, deadline = f"{cups}/ServerRoot/ppd/{setup.split()[2]}.ppd", time.monotonic() + 10
                while not os.path.exists(ppd) and not re.search("PPD creation failed|invalid data|resolve",
                                                                read_text(f"{cups}/ErrorLog")):
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.1)
                self.assertEqual(os.path.exists(ppd), verdicts[name][0] == "ready", name)
                open(f"{cups}/ErrorLog", "w").close()
            # --identify: with the actions the printer lists, a message for its display
            p = lab.exec_client([HVL_SCAN, "--identify", lab.ip("p1")])
            self.assertEqual((p.returncode, p.stdout), (0, f"ipp://{lab.ip('p1')}:631/ipp/print: "
                                                           "asked to identify itself (display, sound)\n"))
            self.assertTrue("identify-actions (1setOf keyword) display,sound\n    message (textWithoutLanguage) hvl-scan"
                            in read_text(f"{lab.dir}/p1/ippeveprinter.log"))
            # CUPS's queues have no Identify-Printer: never sent, and said so
            p = lab.exec_client([HVL_SCAN, "--identify", "ipp://192.0.2.1:631/printers/Lab_p1"])
            self.assertEqual((p.returncode, p.stdout), (3, ""))
            self.assertIn("cannot identify itself (no Identify-Printer)", p.stderr)
            self.assertNotIn("Identify-Printer", read_text(f"{cups}/AccessLog"))


# SNMP agents (snmpsimd), by OID: (snmprec tag, value).
SYS_NAME, PRT_NAME, HR_TYPE = "1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.43.5.1.1.16.1", "1.3.6.1.2.1.25.3.2.1.2.1"
PRINTER, HR_STATUS = ("6", "1.3.6.1.2.1.25.3.1.5"), "1.3.6.1.2.1.25.3.5.1.1.1"
SUPPLIES = [(3, "Black Toner", 1000, -3), (3, "Cyan Toner", 1000, -2), (4, "Waste Toner", 200, 50)]
FRONT_DESK = {SYS_NAME: ("4", "prn-0042"), PRT_NAME: ("4", "Front Desk"), HR_TYPE: PRINTER,
              "1.3.6.1.2.1.1.6.0": ("4", "Room 3"), "1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1": ("4", "MFG:Halvet;MDL:Laser 5;"),
              HR_STATUS: ("2", 3), "1.3.6.1.2.1.25.3.5.1.2.1": ("4x", "20"), "1.3.6.1.2.1.43.10.2.1.4.1.1": ("65", 12345),
              **{f"1.3.6.1.2.1.43.11.1.1.{col}.1.{i}": (tag, value) for i, row in enumerate(SUPPLIES, 1)
                 for col, tag, value in zip((4, 6, 8, 9), ("2", "4", "2", "2"), row)}}
# Its printer name is binary (never a name); its sysName carries escape sequences.
ESCAPED = {SYS_NAME: ("4x", "\x1b[31mRed\x1b]0;owned\x07 Alert".encode().hex()), PRT_NAME: ("4x", "00ff1002"),
           HR_TYPE: PRINTER, "1.3.6.1.2.1.25.3.2.1.3.1": ("4", "Acme Mono 2")}
ROUTER = {SYS_NAME: ("4", "core-router"), HR_TYPE: ("6", "1.3.6.1.2.1.25.3.1.3")}
# Announced over mDNS, no IPP; its agent calls device 1 no printer, yet has a printer status.
FALLBACK = {HR_TYPE: ("6", "1.3.6.1.2.1.25.3.1.1"), HR_STATUS: ("2", 4)}
# For snmp_agent.py (SNMPv1 only): no error state, page count, serial or device ID.
OLD_PRINTER = {SYS_NAME: ["str", "old-laser"], PRT_NAME: ["str", "Old Front"], HR_TYPE: ["oid", PRINTER[1]],
               "1.3.6.1.2.1.1.6.0": ["str", "Basement"], HR_STATUS: ["int", 3],
               **{f"1.3.6.1.2.1.43.11.1.1.{col}.1.1": value for col, value in
                  ((4, ["int", 3]), (6, ["str", "Black Toner"]), (8, ["int", 100]), (9, ["int", 40]))}}


class HvlScanSnmp(unittest.TestCase):
    """--snmp: printers that announce nothing, found by broadcast or by
    --subnet, with the community they answer; a router is no printer; names
    that are binary or hold escape sequences; --status over SNMP, and as the
    fallback of a printer without IPP."""

    def test_snmp_printers(self):
        with Lab("sn" + SUFFIX, ["p1", "p2", "p3", "p4", "p5"]) as lab:
            for host, agents in (("p1", {"public": FRONT_DESK}), ("p2", {"public": ESCAPED}),
                                 ("p3", {"public": ROUTER}), ("p4", {"private": FRONT_DESK}),
                                 ("p5", {"public": FALLBACK})):
                lab.snmp(host, agents)
            lab.announce("p5", {"instances": [{"name": "Lab Fallback", "types": ["_printer._tcp"], "host": "fb"}]})
            lab.wait_browse("_printer._tcp", "Lab Fallback")
            ip = {h: lab.ip(h) for h in lab.hosts}
            for args, hosts in ((("--no-mdns",), "p1 p2"),
                                (("--no-mdns", "--snmp-community", "public", "--snmp-community", "private"), "p1 p2 p4"),
                                (("--no-mdns", "--subnet", "192.0.2.8/29"), "p1 p2"),
                                (("--status", "--status-timeout", "2"), "p1 p2 p5")):
                with self.subTest(args=args):
                    t0 = time.monotonic()
                    p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--no-wsd",
                                        "--json", "--snmp", *args], capture_output=True, text=True, timeout=60)
                    self.assertLess(time.monotonic() - t0, 4.0)
                    rows = {r["ip"]: r for r in json.loads(p.stdout)}
                    self.assertEqual(set(rows), {ip[h] for h in hosts.split()}, p.stderr)
                    front = rows[ip["p1"]]
                    self.assertEqual([front[k] for k in ("name", "model", "location", "url", "source")],
                                     ["Front Desk", "Halvet Laser 5", "Room 3", f"http://{ip['p1']}/", "snmp"])
                    self.assertEqual(rows[ip["p2"]]["name"], "[31mRed ]0;owned  Alert")
                    self.assertEqual(rows[ip["p2"]]["model"], "Acme Mono 2")
                    if "--status" not in args:
                        continue
                    self.assertEqual(p.returncode, 3)  # p2 has no printer status
                    status = front["status"]
                    self.assertEqual([status[k] for k in ("source", "state", "reasons", "page_count")],
                                     ["snmp", "idle", ["toner-low-warning"], 12345])
                    self.assertEqual([(s["name"], s["level"], s["level_text"], s["receptacle"])
                                      for s in status["supplies"]],
                                     [("Black Toner", None, "some remaining", False),
                                      ("Cyan Toner", None, "unknown", False), ("Waste Toner", 75, None, True)])
                    self.assertEqual([rows[ip["p5"]]["source"], rows[ip["p5"]]["status"]["source"],
                                      rows[ip["p5"]]["status"]["state"]], ["mdns", "snmp", "printing"])

    def test_v1_agent_whose_walk_stays_put(self):
        """SNMPv1 only, a walk that stays put, a bad checksum: named and asked in
        time; without --snmp, --status sends it nothing."""
        with Lab("sv" + SUFFIX, ["p1"]) as lab:
            data, log = os.path.join(lab.dir, "old.json"), os.path.join(lab.dir, "p1", "agent.log")
            with open(data, "w", encoding="utf-8") as f:
                json.dump(OLD_PRINTER, f)
            lab.spawn("p1", [sys.executable, SNMP_AGENT, data, "--stuck-walk", "--bad-checksum"], tag="agent")
            lab.announce("p1", {"instances": [{"name": "Lab Old", "types": ["_printer._tcp"], "host": "old"}]})
            lab.wait_browse("_printer._tcp", "Lab Old")
            self.assertIn("ready", read_text(log))

            def scan(*args):
                return subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--no-wsd",
                                       "--json", "--status", "--status-timeout", "3", *args],
                                      capture_output=True, text=True, timeout=60)
            scan()  # its IPP port refuses
            self.assertNotIn("from ", read_text(log))
            t0 = time.monotonic()
            p = scan("--no-mdns", "--snmp")
            self.assertLess(time.monotonic() - t0, 4.0)
            (row,) = json.loads(p.stdout)
            self.assertEqual([row["name"], row["location"], row["status"]["state"],
                              [(s["name"], s["level"]) for s in row["status"]["supplies"]], p.returncode],
                             ["Old Front", "Basement", "idle", [("Black Toner", 40)], 0], p.stderr)


class HvlScanRealPrinters(unittest.TestCase):
    """Web addresses as real printers announce them open on a desktop with
    nss-mdns: each row's host resolves through the system resolver and a
    connection to its port reaches the printer's address."""

    def test_web_addresses_resolve_and_connect(self):
        with Lab("hr" + SUFFIX, ["p1"]) as lab, tempfile.TemporaryDirectory() as cwd:
            printers, expected = [], {}
            for i, (printer, url) in enumerate(REAL_PRINTERS, start=1):
                address = f"198.51.100.{i}"
                lab.exec("p1", ["ip", "addr", "add", f"{address}/32", "dev", "lo"])
                printers.append(dict(printer, addresses=[address]))
                expected[address] = url
            lab.exec_client(["ip", "route", "add", "198.51.100.0/24", "via", lab.ip("p1")])
            lab.spawn("p1", ["/usr/bin/python3", "-c", LISTEN_ON_PORTS], tag="listen")
            lab.announce("p1", {"instances": printers})
            lab.wait_browse("_printer._tcp", "Canon MF743C")
            p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp", "--ipp", "--json"],
                               cwd=cwd, capture_output=True, text=True, timeout=60)
            self.assertEqual(p.returncode, 0, p.stderr)
            urls = {row["ip"]: row["url"] for row in json.loads(p.stdout)}
            self.assertEqual(urls, expected)

            r = lab.exec_resolver(["/usr/bin/python3", "-c", RESOLVE_AND_CONNECT, *urls.values()])
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(json.loads(r.stdout), {url: ip for ip, url in urls.items()})
            # The address as the old rule made it (no .local) finds nothing.
            r = lab.exec_resolver(["getent", "ahostsv4", "EPSON83498A"])
            self.assertNotEqual(r.returncode, 0, r.stdout)


class HvlScanWithoutAvahi(unittest.TestCase):
    """No avahi-daemon in the client: mDNS cannot work there."""

    def test_no_usable_method_is_an_error(self):
        with Lab("hn" + SUFFIX, [], avahi=False) as lab, tempfile.TemporaryDirectory() as cwd:
            def scan(*args):
                return subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, *args],
                                      cwd=cwd, capture_output=True, text=True, timeout=60)

            p = scan("--no-upnp", "--no-wsd")
            self.assertEqual(p.returncode, 1)
            self.assertEqual(p.stdout, "")
            self.assertIn("MDNS discovery is not available", p.stderr)
            self.assertIn("nothing was scanned", p.stderr)
            # with UPnP still there the scan runs, and says what is missing; its
            # explanation asks nothing of the network (here a silent DNS server)
            netns = os.environ.get("HVL_LAB_PREFIX", "hvl") + f"-{lab.name}-client"
            # nor can --domain, its DNS server out of reach: nothing was scanned
            with open(f"/etc/netns/{netns}/resolv.conf", "w") as f:
                f.write("nameserver 198.51.100.53\n")
            p = scan("--no-upnp", "--no-wsd", "--domain", "printers.example")
            self.assertEqual((p.returncode, p.stdout), (1, ""), p.stderr)
            self.assertIn("nothing was scanned", p.stderr)
            with open(f"/etc/netns/{netns}/resolv.conf", "w") as f:
                f.write("nameserver 192.0.2.99\nsearch printers.example\n")
            p = scan("--json")
            self.assertNotIn("DNS search domain", p.stderr)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(json.loads(p.stdout), [])
            self.assertIn("MDNS discovery is not available", p.stderr)
            # found nothing: the failing checks follow, as --diagnose gives them
            self.assertIn("hvl-scan: FAIL D-Bus system bus not reachable", p.stderr)
            p = scan("--diagnose")
            self.assertEqual(p.returncode, 1)
            self.assertRegex(p.stdout, r"(?m)^FAIL D-Bus system bus not reachable at unix:path=")
            # another program holds the SSDP port: no SSDP client can start
            lab.spawn("client", ["/usr/bin/python3", "-c", "import socket, time; s = socket.socket(socket.AF_INET, "
                                 "socket.SOCK_DGRAM); s.bind(('', 1900)); time.sleep(60)"],
                      tag="ssdp-port")
            for _ in range(100):
                if lab.exec_client(["ss", "-Hlun", "sport = :1900"]).stdout.strip():
                    break
                time.sleep(0.05)
            p = scan("--no-mdns", "--no-wsd")
            self.assertEqual(p.returncode, 1, p.stderr)
            self.assertIn("UPNP discovery is not available", p.stderr)

    def test_diagnose(self):
        # a cache for 16 printers, and 20 of them
        with Lab("hd" + SUFFIX, ["p1"], cache_entries=64) as lab, tempfile.TemporaryDirectory() as cwd:
            def diagnose(*wrap, expect):
                # bash's own clock: the time of hvl-scan alone, not of lab.sh
                p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", *wrap, "bash", "-c",
                                    f"TIMEFORMAT=%R; time {HVL_SCAN} --diagnose"],
                                   cwd=cwd, capture_output=True, text=True, timeout=30)
                self.assertEqual(p.returncode, expect, p.stdout + p.stderr)
                lines = p.stdout.splitlines()
                # SNMP's broadcast, then the search domains of the machine's resolv.conf, if any
                self.assertEqual(len(lines), 12, p.stdout)
                return lines, float(p.stderr.split()[-1])

            # the lab has no multicast route: only a warning, printers are found without one
            lines, _ = diagnose(expect=0)
            self.assertEqual([ln[:4] for ln in lines[:8]],
                             ["OK  ", "OK  ", "OK  ", "OK  ", "WARN", "WARN", "OK  ", "OK  "])
            # the daemon's own configuration, not the machine's
            self.assertRegex(lines[2], r"^OK   avahi-daemon caches at most 64 records .*about 16 printers\.$")
            lab.announce("p1", LIVE_PRINTERS)
            p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--no-upnp"], cwd=cwd,
                               capture_output=True, text=True, timeout=30)
            self.assertRegex(p.stderr, r"hvl-scan: WARN avahi-daemon caches at most 64 records .* saw \d+ printers")
            lab.exec_client(["ip", "route", "add", "224.0.0.0/4", "dev", "eth0"])
            lines, ok_seconds = diagnose(expect=0)
            self.assertTrue(all(ln.startswith("OK ") for ln in lines[:8]), lines)
            self.assertIn('avahi 0.8, host name "hd', lines[1])
            self.assertIn("eth0 192.0.2.1", lines[3])
            self.assertIn("(mdns4_minimal on the hosts line of /etc/nsswitch.conf)", lines[7])
            self.assertRegex(lines[8], r"^OK   MDNS: \d+ printer host\(s\) from 1 address\(es\) answer one-shot queries")
            # IPv6 only once eth0's link-local address is past duplicate detection
            self.assertRegex(lines[9], r"^OK   WS-Discovery multicast .* leaves through eth0 \(IPv4(, IPv6)?\)\.$")
            self.assertEqual(lines[10], "OK   SNMP broadcast to 192.0.2.255 port 161 can leave eth0 (sent only with --snmp).")

            # no nss-mdns on the hosts line: only a warning, naming the package
            without_mdns = os.path.join(cwd, "nsswitch.conf")
            with open(without_mdns, "w") as f:
                f.write("passwd: files\nhosts: files dns # mdns4_minimal\n")
            lines, _ = diagnose("unshare", "-m", "sh", "-c",
                                f'mount --bind {without_mdns} /etc/nsswitch.conf && exec "$@"', "sh", expect=0)
            self.assertRegex(lines[7], r"^WARN The system resolver cannot look up \.local names .*libnss-mdns")

            with open(os.path.join(cwd, "hvl.cfg"), "wb") as f:
                f.write((1).to_bytes(4, "little") + (0).to_bytes(4, "little") + (1).to_bytes(4, "little"))
            lines, _ = diagnose(expect=1)
            self.assertRegex(lines[6], r"^FAIL .*/hvl\.cfg switches mDNS off")
            os.remove(os.path.join(cwd, "hvl.cfg"))

            # a namespace with only loopback (a fresh one inside the lab's client)
            lines, _ = diagnose("unshare", "-n", "sh", "-c", 'ip link set lo up; exec "$@"', "sh", expect=1)
            self.assertTrue(lines[3].startswith("FAIL No IPv4 interface is up"), lines)
            self.assertIn("leaves through no interface", lines[9])
            self.assertTrue(lines[10].startswith("WARN No IPv4 interface that is up can broadcast"), lines)

            with open(os.path.join(lab.dir, "pids")) as f:
                avahi_pid = next(int(line.split()[0]) for line in f if line.split()[2:4] == ["client", "avahi"])
            os.kill(avahi_pid, signal.SIGSTOP)
            try:
                lines, seconds = diagnose(expect=1)
            finally:
                os.kill(avahi_pid, signal.SIGCONT)
            self.assertTrue(lines[1].startswith("FAIL avahi-daemon does not answer within 1 s"), lines)
            self.assertLess(seconds - ok_seconds, 1.25)  # the 1 s bound, beyond the process's own start

            lab.stop_avahi("client")
            lines, _ = diagnose(expect=1)
            self.assertEqual(lines[0][:4], "OK  ")
            self.assertTrue(lines[1].startswith("FAIL avahi-daemon is not running"), lines)


# printers.example in tests/lab/dns: address -> name, model, URL; the
# IPP-only one only with --ipp. "Long TXT" needs TCP (its TXT is over 512 bytes).
DNS_PRINTERS = {
    "198.51.100.10": ("Floor 1 Laser", "Halvet L1", "http://f1-laser.printers.example/admin"),
    "198.51.100.11": ("Floor 2 Laser", "Halvet L2", "http://f2-laser.printers.example"),
    "198.51.100.12": ("Floor 3 Inkjet", "Halvet Ink 3", "http://f3-inkjet.printers.example"),
    "198.51.100.13": ("Floor 4 Inkjet", None, "http://f4-inkjet.printers.example"),
    "198.51.100.14": ("Both Types", "Halvet Twin", "http://both.printers.example"),
    "198.51.100.15": ("Room 2.14", "Halvet Dot", "http://room214.printers.example"),
    "198.51.100.16": ("Drucker K\u00fcche", "Halvet K\u00fcche", "http://kueche.printers.example"),
    "198.51.100.17": ("Plotter East", None, "http://plotter-east.printers.example"),
    "198.51.100.18": ("Label Maker", "Halvet Label", "http://labels.printers.example"),
    "198.51.100.20": ("Long TXT", "Halvet Long", "http://long-txt.printers.example"),
    "2001:db8::21": ("IPv6 Only", "Halvet Six", "http://v6-only.printers.example"),
}
DNS_IPP_PRINTERS = {"198.51.100.19": ("IPP Only", "Halvet IPP", "http://ipp-only.printers.example/")}
# annex.example, named only by the client's subnet (0.2.0.192.in-addr.arpa)
ANNEX_PRINTERS = {"203.0.113.5": ("Annex Copier", "Halvet Annex", "http://copier.annex.example"),
                  "192.0.2.10": ("Office Laser", None, "http://office-laser.annex.example/")}
BROKEN = "hvl-scan: domain broken.example: lists no printer (SERVFAIL)"
GHOST = ("hvl-scan: domain printers.example: printer 'Ghost Printer' (_pdl-datastream._tcp): "
         "its host ghost.printers.example has no address")


class HvlScanUnicastDns(unittest.TestCase):
    """A DNS server (BIND) behind a router, the client's search domain
    corp.example naming printers.example and broken.example (SERVFAIL), and
    the lab's mDNS printers beside it."""

    @classmethod
    def setUpClass(cls):
        cls.lab = Lab("hu" + SUFFIX, ["p1"]).up()
        try:
            cls.lab.dns(ZONES, ["corp.example"])
            cls.lab.announce("p1", {"instances": [
                {"name": "Office Laser", "types": ["_printer._tcp"], "host": "office-laser",
                 "txt": ["adminurl=http://office-laser.example/"]},
                {"name": "Lab Plotter", "types": ["_printer._tcp"], "host": "lab-plotter",
                 "addresses": [PLOTTER_IP], "txt": []}]})
            cls.lab.wait_browse("_printer._tcp", "Lab Plotter")
        except Exception:
            cls.lab.down()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()

    def scan(self, *args):
        p = subprocess.run([LAB_SH, "exec-client", self.lab.name, "--", HVL_SCAN, *args],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        return p

    def assertRows(self, rows, expected, domains):
        self.assertEqual({r["ip"]: (r["name"], r["model"], r["url"]) for r in rows}, expected)
        self.assertEqual(len(rows), len(expected))  # one row per address
        for r in rows:
            self.assertEqual(r["source"], "dns-sd")
            self.assertEqual(r["domain"], domains[r["ip"]])

    def test_domains_list_every_working_printer_and_name_the_broken(self):
        cases = [
            ("json_ipp", ["--json", "--ipp", "--domain", "printers.example", "--domain", "broken.example",
                          "--domain", "Printers.Example."], {**DNS_PRINTERS, **DNS_IPP_PRINTERS}),
            ("csv", ["--csv", "--domain", "printers.example", "--domain", "broken.example"], DNS_PRINTERS),
            ("auto", ["--csv", "--domain", "auto"], {**DNS_PRINTERS, **ANNEX_PRINTERS}),
        ]
        for name, args, expected in cases:
            with self.subTest(name):
                t0 = time.monotonic()
                p = self.scan("--no-mdns", "--no-upnp", *args)
                self.assertLess(time.monotonic() - t0, 5)
                if "--json" in args:
                    rows = json.loads(p.stdout)
                    self.assertEqual(set(rows[0]), JSON_KEYS | {"domain", "driverless"})
                else:
                    rows = [{k: (v or None) for k, v in r.items()} for r in csv.DictReader(io.StringIO(p.stdout))]
                domains = {ip: ("annex.example" if ip in ANNEX_PRINTERS else "printers.example") for ip in expected}
                self.assertRows(rows, expected, domains)
                self.assertIn(BROKEN, p.stderr.splitlines())
                self.assertTrue(any(line.startswith(GHOST) for line in p.stderr.splitlines()), p.stderr)
                self.assertIn("printer 'Evil [2J Name' (_pdl-datastream._tcp): no SRV record (NXDOMAIN)", p.stderr)
                self.assertNotIn("\x1b", p.stderr)

    def test_mdns_and_dns_printers_in_one_scan(self):
        for engine in ([], ["--window-scan"]):
            with self.subTest(engine=engine):
                p = self.scan("--no-upnp", "--json", "--domain", "annex.example", *engine)
                by_ip = {}
                for r in json.loads(p.stdout):
                    by_ip.setdefault(r["ip"], []).append(r)
                self.assertEqual(sorted(by_ip), sorted([self.lab.ip("p1"), PLOTTER_IP, "203.0.113.5"]), p.stdout)
                self.assertTrue(all(len(v) == 1 for v in by_ip.values()), p.stdout)  # 192.0.2.10: once
                self.assertEqual(sorted(by_ip[self.lab.ip("p1")][0]["sources"]), ["dns-sd", "mdns"])  # by both
                self.assertEqual(by_ip[PLOTTER_IP][0]["source"], "mdns")
                self.assertIsNone(by_ip[PLOTTER_IP][0]["domain"])
                self.assertEqual(by_ip["203.0.113.5"][0]["source"], "dns-sd")
                self.assertEqual(by_ip["203.0.113.5"][0]["domain"], "annex.example")

    def test_diagnose_tells_what_the_search_domain_names(self):
        p = subprocess.run([LAB_SH, "exec-client", self.lab.name, "--", HVL_SCAN, "--diagnose"],
                           capture_output=True, text=True, timeout=30)
        line = p.stdout.splitlines()[-1]
        self.assertTrue(line.startswith("OK   DNS search domain corp.example names browse domains:"), p.stdout)
        self.assertIn("printers.example (15 printers)", line)
        self.assertIn("broken.example (no printer: SERVFAIL)", line)

    def test_watch_browses_again_each_interval(self):
        # nothing answers the liveness checks there: only each new browse keeps them listed
        p = self.scan("--watch", "--json", "--no-upnp", "--no-wsd", "--source", "dns-sd", "--domain",
                      "printers.example", "--watch-interval", "1", "--timeout", "4.5")
        events = [json.loads(line) for line in p.stdout.splitlines()]
        self.assertEqual(sorted(e["row"]["ip"] for e in events), sorted(DNS_PRINTERS), p.stdout)  # adds only
        self.assertEqual({(e["event"], e["row"]["domain"]) for e in events}, {("add", "printers.example")})
        self.assertEqual(sum(line.startswith(GHOST) for line in p.stderr.splitlines()), 1, p.stderr)  # once



def watched(name, **more):
    return {"instances": [{"name": name, "types": ["_printer._tcp"], "host": name.lower().replace(" ", "-"),
                           "txt": [], **more}]}


class HvlScanWatch(unittest.TestCase):
    """--watch with a 1 s interval, each printer on a host of its own: one
    added mid-watch, one whose adminurl changes, one saying goodbye, one
    switched off without a word, an SNMP printer whose agent stops (a TCP
    connect would still be refused, so alive): both unreachable, not gone; a
    UPnP printer's byebye and a WSD printer's Bye, then avahi-daemon
    restarted under it, and a goodbye after that; two queues of one host, one
    withdrawn."""

    def test_events_as_they_happen(self):
        with Lab("wt" + SUFFIX, ["p1", "p2", "p3", "p4", "p5", "p6", "p7", "p8"]) as lab:
            lab.snmp("p5", {"public": FRONT_DESK})
            lab.spawn("p6", [UPNP_PEER, lab.ip("p6"), DESCRIPTIONS, "printer.xml"], tag="upnp")
            lab.wsd("p7", {"devices": [{"uuid": "5e1f0000-0000-4000-8000-000000000032", "metadata": {},
                                        "types": "wsdp:Device wprt:PrintDeviceType"}]})
            stay = lab.announce("p1", watched("Watch Stay", txt=["adminurl=http://stay.example/a"],
                                              next_txt=["adminurl=http://stay.example/b"]), tag="stay")
            lab.announce("p2", watched("Watch Bye"), tag="bye")
            lab.announce("p3", watched("Watch Off"), tag="off")
            twins = {"Twin A": "7a000000-0000-4000-8000-00000000000a", "Twin B": "7b000000-0000-4000-8000-00000000000b"}
            for name, uuid in twins.items():
                lab.announce("p8", watched(name, txt=["UUID=" + uuid]), tag=name.replace(" ", "").lower())
            for name in ("Watch Stay", "Watch Bye", "Watch Off", *twins):
                lab.wait_browse("_printer._tcp", name)
            ip = {h: lab.ip(h) for h in lab.hosts}
            proc = subprocess.Popen([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--watch", "--json",
                                     "--watch-interval", "1", "--snmp", "--timeout", "60"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            lines, seen = queue.Queue(), []
            reader = threading.Thread(target=lambda: [lines.put(line) for line in proc.stdout], daemon=True)
            reader.start()

            def expect(event, host, within, state=None):
                """The event's JSON, once it is there (in any order)."""
                t0 = time.monotonic()
                while True:
                    match = [e for e in seen if (e["event"], e["row"]["ip"]) == (event, ip[host])
                             and state in (None, e["state"])]
                    if match:
                        return match[0]
                    try:
                        seen.append(json.loads(lines.get(timeout=max(0.0, t0 + within - time.monotonic()))))
                    except queue.Empty:
                        self.fail(f"no {event} of {host} within {within} s; seen: {seen}")

            try:
                with self.subTest("listed at the start, rows as --json writes them"):
                    for host in ("p1", "p2", "p3", "p5", "p6", "p7"):
                        e = expect("add", host, 10 * SLOWER)
                        self.assertEqual(set(e["row"]), JSON_KEYS | {"first_seen"})
                        self.assertEqual((e["reason"], e["changed"]), (None, []))
                        self.assertRegex(e["time"], RFC3339_RE)
                        self.assertEqual(e["row"]["first_seen"], e["row"]["last_seen"])
                with self.subTest("added mid-watch"):
                    lab.announce("p4", watched("Watch New"), tag="new")
                    expect("add", "p4", 2 * SLOWER)
                with self.subTest("adminurl changed"):
                    os.kill(stay, signal.SIGHUP)
                    e = expect("change", "p1", 3 * SLOWER)
                    self.assertEqual((e["changed"], e["row"]["url"]), (["url", "txt"], "http://stay.example/b"))
                with self.subTest("goodbye"):
                    t0 = time.monotonic()
                    lab.kill("bye")
                    e = expect("remove", "p2", 3 * SLOWER)
                    self.assertEqual(e["reason"], "goodbye")
                    # avahi keeps a record for 1 s after its goodbye (RFC 6762, 10.1)
                    self.assertLess(time.monotonic() - t0, 2.0 * SLOWER)
                for tag, host in (("upnp", "p6"), ("wsd", "p7")):
                    with self.subTest(f"{tag} goodbye"):  # its host still refuses connections: alive
                        t0 = time.monotonic()
                        lab.kill(tag)
                        self.assertEqual(expect("remove", host, 1 * SLOWER)["reason"], "goodbye")
                        self.assertLess(time.monotonic() - t0, 1.0 * SLOWER)
                with self.subTest("two queues of one host, one withdrawn: the remove names it"):
                    added = [e["row"]["id"] for e in seen if (e["event"], e["row"]["ip"]) == ("add", ip["p8"])]
                    self.assertEqual(sorted(added), sorted(twins.values()))
                    lab.kill("twinb")
                    e = expect("remove", "p8", 3 * SLOWER)
                    self.assertEqual((e["row"]["name"], e["row"]["id"], e["reason"]),
                                     ("Twin B", twins["Twin B"], "goodbye"))
                with self.subTest("back after its goodbye: listed again"):
                    seen.clear()
                    lab.announce("p2", watched("Watch Bye"), tag="back")
                    expect("add", "p2", 2 * SLOWER)
                with self.subTest("switched off without goodbye"):
                    lab.kill("off", signal="KILL")
                    lab.exec("p3", ["ip", "link", "set", "eth0", "down"]).check_returncode()
                    e = expect("change", "p3", 2 * 1 + 1, state="unreachable")
                    self.assertEqual(e["changed"], ["state"])
                    lab.kill("snmp")
                    e = expect("change", "p5", 2 * 1 + 1, state="unreachable")
                    self.assertEqual(e["changed"], ["state"])
                with self.subTest("avahi-daemon restarted: its printers stay"):
                    lab.client_avahi("restart")
                    time.sleep(4)
                    while not lines.empty():
                        seen.append(json.loads(lines.get()))
                    # Only the one switched off: the daemon, new, holds no record of it.
                    self.assertEqual([(e["row"]["ip"], e["reason"]) for e in seen if e["event"] == "remove"],
                                     [(ip["p3"], "expired")])
                with self.subTest("goodbye after the restart: removed"):
                    lab.kill("new")
                    self.assertEqual(expect("remove", "p4", 3 * SLOWER)["reason"], "goodbye")
            finally:
                proc.send_signal(signal.SIGINT)
                out, err = proc.communicate(timeout=10)
            self.assertEqual(proc.returncode, 0, err)
            self.assertEqual(out, "")  # JSON Lines: nothing more at the end
            self.assertEqual(err.count("avahi-daemon went away"), 1, err)
            self.assertEqual(err.count("avahi-daemon is back"), 1, err)

            # The table: a '+' line each, and at Ctrl+C the printers with when each was last seen.
            proc = subprocess.Popen([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--watch", "--no-upnp"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            added = [proc.stdout.readline() for _ in range(3)]  # Stay, Bye back, Twin A
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=10)
            self.assertEqual(proc.returncode, 0, err)
            self.assertTrue(all(re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  \+  ", ln) for ln in added), added)
            self.assertEqual(out.splitlines()[-1], "3 devices found.")
            self.assertEqual(len(re.findall(r"(?m)  last seen \d{4}-\d\d-\d\d \d\d:\d\d:\d\d$", out)), 3, out)

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
SERVE_PAGE = os.path.join(os.path.dirname(README), "docs", "serve.md")
# ippeveprinter -a: a toner, a waste box with 30 of 100 left (70 % full), a toner at "some remaining".
SUPPLY_CONF = ('ATTR octetString printer-supply "class=supplyThatIsConsumed;type=toner;maxcapacity=100;level=40;'
               'colorantname=cyan;","class=receptacleThatIsFilled;type=wasteToner;maxcapacity=100;level=30;",'
               '"class=supplyThatIsConsumed;type=toner;maxcapacity=100;level=-3;colorantname=black;"\n'
               'ATTR text printer-supply-description "Cyan Toner","Waste Box","Black Toner"\n')
MARKUP_NAME = "Lab <img src=x onerror=alert(1)>"


def render_page(lab, url, rows, screenshot=None, headers=None):
    """Chromium in the client, driven over --remote-debugging-pipe (an alert()
    would block --dump-dom): the rows' text once `rows` are in, how many img
    elements they hold, and every event seen (a dialog among them)."""
    to_r, to_w = os.pipe()
    from_r, from_w = os.pipe()
    profile = tempfile.mkdtemp()
    proc = subprocess.Popen(["sh", "-c", f'exec "$@" 3<&{to_r} 4>&{from_w}', "sh", LAB_SH, "exec-client", lab.name,
                             "--", "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                             f"--user-data-dir={profile}", "--remote-debugging-pipe", "--window-size=1000,420",
                             "--ignore-certificate-errors"],
                            pass_fds=(to_r, from_w), stderr=subprocess.DEVNULL)
    os.close(to_r)
    os.close(from_w)
    events, buf, ident = [], b"", 0

    def call(method, session=None, **params):
        nonlocal buf, ident
        ident += 1
        os.write(to_w, json.dumps({"id": ident, "method": method, "params": params,
                                   **({"sessionId": session} if session else {})}).encode() + b"\0")
        while True:
            while b"\0" not in buf:
                if not select.select([from_r], [], [], 10)[0]:
                    raise AssertionError(f"no answer to {method}; events: {events}")
                buf += os.read(from_r, 1 << 20)
            raw, buf = buf.split(b"\0", 1)
            message = json.loads(raw)
            if message.get("id") == ident:
                return message.get("result", {})
            events.append(message)

    try:
        session = call("Target.attachToTarget", targetId=call("Target.createTarget", url="about:blank")["targetId"],
                       flatten=True)["sessionId"]
        call("Page.enable", session)
        if headers:
            call("Network.enable", session)
            call("Network.setExtraHTTPHeaders", session, headers=headers)
        call("Page.navigate", session, url=url)

        def evaluate(expression):
            return call("Runtime.evaluate", session, expression=expression)["result"].get("value")
        t0 = time.monotonic()
        while evaluate("document.querySelectorAll('#rows tr').length") != rows and time.monotonic() - t0 < 10:
            time.sleep(0.2)
        text, images = evaluate("document.getElementById('rows').innerText"), evaluate("document.images.length")
        if screenshot:
            with open(screenshot, "wb") as f:
                f.write(base64.b64decode(call("Page.captureScreenshot", session)["data"]))
        call("Browser.close")
    finally:
        os.close(to_w)
        proc.wait(timeout=10)
        os.close(from_r)
    return text, images, [e["method"] for e in events]


class HvlScanServe(unittest.TestCase):
    """--watch --status --serve --serve-config (TLS, a bcrypt user): a real
    Prometheus runs the handbook's prometheus.yml (1 s for 30 s) over TLS with
    the password, discovers the printers through /targets and scrapes each
    through /metrics?target=; plain HTTP, a wrong password and another Host
    are refused; Chromium renders the page, one printer named as markup."""

    def test_prometheus_and_the_page(self):
        with Lab("sv" + SUFFIX, ["p1", "p2"]) as lab, tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "supplies.conf"), "w") as f:
                f.write(SUPPLY_CONF)
            pid = {}
            for host, name in (("p1", "Lab Served"), ("p2", MARKUP_NAME)):
                lab.avahi(host)
                pid[host] = lab.spawn(host, ["ippeveprinter", "-p", "631", "-a", f.name, name], tag="ipp")
            lab.wait_browse("_ipp._tcp", "Lab Served")
            cert, key, password = (os.path.join(tmp, n) for n in ("serve.crt", "serve.key", "password"))
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                            "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                           check=True, capture_output=True)
            os.chmod(key, 0o600)
            with open(password, "w") as f:
                f.write("lab-secret")
            hashed = subprocess.run(["python3", "-W", "ignore", "-c", "import crypt; print(crypt.crypt('lab-secret', "
                                     "crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1 << 5)))"],
                                    capture_output=True, text=True, check=True).stdout.strip()
            web, prometheus_yml = re.findall(r"```yaml\n(.*?)```", read_text(SERVE_PAGE), re.S)[:2]
            web_config = os.path.join(tmp, "web.yml")
            with open(os.open(web_config, os.O_CREAT | os.O_WRONLY, 0o600), "w") as f:
                f.write(re.sub(r"HASH.*", hashed, web).replace("/etc/hvl-scan/serve.crt", cert)
                        .replace("/etc/hvl-scan/serve.key", key))
            lab.spawn("client", [HVL_SCAN, "--watch", "--status", "--ipp", "--no-upnp", "--no-wsd", "--watch-interval",
                                 "1", "--status-timeout", "0.5", "--serve", "127.0.0.1:9464", "--serve-config", web_config],
                      tag="hvl")
            with open(os.path.join(tmp, "prometheus.yml"), "w") as f:
                f.write(prometheus_yml.replace("30s", "1s").replace("/etc/prometheus/hvl.password", password)
                        .replace("/etc/prometheus/hvl-serve.crt", cert)
                        .replace("/etc/prometheus/hvl-rules.yml",
                                 os.path.join(os.path.dirname(README), "docs", "prometheus", "hvl-rules.yml")))
            lab.spawn("client", ["prometheus", f"--config.file={f.name}", f"--storage.tsdb.path={tmp}/db",
                                 "--web.listen-address=127.0.0.1:9090"], tag="prometheus")

            def prometheus(path, want, within, **params):
                """Prometheus' API answer once want(it) holds, or the last one after within s."""
                t0 = time.monotonic()
                while True:
                    p = lab.exec_client(["curl", "-sfG", "-m", "2", *[x for k, v in params.items() for x in
                                         ("--data-urlencode", f"{k}={v}")], f"http://127.0.0.1:9090/api/v1/{path}"])
                    data = json.loads(p.stdout)["data"] if p.returncode == 0 else {"result": [], "activeTargets": []}
                    if want(data) or time.monotonic() - t0 > within:
                        return data

            def series(expression, want, within):
                data = prometheus("query", lambda d: want({tuple(sorted(r["metric"].items())): float(r["value"][1])
                                                           for r in d["result"]}), within, query=expression)
                return {tuple(sorted(r["metric"].items())): float(r["value"][1]) for r in data["result"]}

            # Prometheus hands discovered targets to its scrapers every 5 s: from then on, up within 5 s.
            prometheus("targets", lambda d: sum(t["labels"]["job"] == "printers" for t in d["activeTargets"]) == 2, 20)
            up = series('hvl_printer_up{job="printers"}', lambda r: list(r.values()) == [1, 1], 5 * SLOWER)
            self.assertEqual(sorted(dict(k)["printer"] for k in up if up[k] == 1), sorted(["Lab Served", MARKUP_NAME]), up)
            supplies = series('{__name__=~"hvl_printer_supply_(level_ratio|fill_ratio|unmeasured)",printer="Lab Served"}',
                              lambda r: len(r) == 3, 2)
            self.assertEqual({(dict(k)["__name__"], dict(k)["supply"], dict(k).get("level")): v
                              for k, v in supplies.items()},
                             {("hvl_printer_supply_level_ratio", "Cyan Toner", None): 0.4,
                              ("hvl_printer_supply_fill_ratio", "Waste Box", None): 0.7,
                              ("hvl_printer_supply_unmeasured", "Black Toner", "some_remaining"): 1}, supplies)
            # Prometheus keeps one of two equal series and promtool says nothing: count them here.
            body = lab.exec_client(["curl", "-sk", "-m", "3", "-u", "prometheus:lab-secret",
                                    "https://127.0.0.1:9464/metrics"]).stdout
            samples = [ln.rsplit(" ", 1)[0] for ln in body.splitlines() if ln and not ln.startswith("#")]
            self.assertTrue(samples and len(samples) == len(set(samples)), body)
            for argv, want in ((["http://127.0.0.1:9464/metrics"], ""),  # plain HTTP on the TLS port
                               (["-u", "prometheus:wrong", "https://127.0.0.1:9464/metrics"], "401"),
                               (["-u", "prometheus:lab-secret", "-H", "Host: rebound.example",
                                 "https://127.0.0.1:9464/metrics"], "421")):
                p = lab.exec_client(["curl", "-sk", "-m", "3", "-o", "/dev/null", "-D", "-", *argv])
                self.assertEqual(p.stdout[9:12], want, p.stdout)
                self.assertEqual("WWW-Authenticate: Basic" in p.stdout, want == "401", p.stdout)
            # SIGSTOPped, its port still takes connections: reachable, but its status question goes unanswered.
            os.kill(pid["p1"], signal.SIGSTOP)
            t0 = time.monotonic()
            down = series('hvl_printer_state{printer="Lab Served",hvl_printer_state="no_answer"}',
                          lambda r: list(r.values()) == [1], 4 * SLOWER)
            self.assertEqual(list(down.values()), [1], f"{time.monotonic() - t0:.1f} s")
            os.kill(pid["p1"], signal.SIGCONT)

            def served(path):
                return lab.exec_client(["curl", "-sk", "-m", "3", "-u", "prometheus:lab-secret",
                                        "https://127.0.0.1:9464" + path]).stdout

            def until(what, within):
                t0 = time.monotonic()
                while not what():
                    if time.monotonic() - t0 > within:
                        return None
                    time.sleep(0.2)
                return time.monotonic() - t0

            def targets():
                return {t["labels"]["__meta_hvl_id"]: t["targets"][0] for t in json.loads(served("/targets") or "[]")}

            # A DHCP move: the same target id at the new address, the old one nowhere, no series twice.
            before, moved_to = targets(), "192.0.2.200"
            lab.exec("p2", ["sh", "-c", f"ip addr del {lab.ip('p2')}/24 dev eth0 && "
                            f"ip addr add {moved_to}/24 dev eth0"]).check_returncode()
            self.assertIsNotNone(until(lambda: moved_to in targets().values(), 10 * SLOWER), targets())
            self.assertEqual(targets(), {**before, **{i: moved_to for i, a in before.items() if a == lab.ip("p2")}})
            body = served("/metrics")
            samples = [ln.rsplit(" ", 1)[0] for ln in body.splitlines() if ln and not ln.startswith("#")]
            self.assertEqual(len(samples), len(set(samples)), body)
            self.assertNotIn(f'"{lab.ip("p2")}"', body)
            # Its link off the bridge (no word, no TCP answer): up 0 within two intervals + 2 s, still a
            # target, not removed while off (8 s), and up again once it is back.
            served_id = next(i for i, a in before.items() if a == lab.ip("p1"))
            up = lambda v: f'hvl_printer_up{{id="{served_id}"}} {v}\n' in served("/metrics")
            lab.exec("p1", ["ip", "link", "set", "eth0", "down"]).check_returncode()
            self.assertIsNotNone(until(lambda: up(0), (2 * 1 + 2) * SLOWER))
            time.sleep(8 - 4)
            self.assertTrue(up(0) and served_id in targets(), served("/metrics"))
            lab.exec("p1", ["ip", "link", "set", "eth0", "up"]).check_returncode()
            self.assertIsNotNone(until(lambda: up(1), 10 * SLOWER), served("/metrics"))
            self.assertIn('hvl_watch_events_total{kind="remove"} 0\n', served("/metrics"))

            auth = "Basic " + base64.b64encode(b"prometheus:lab-secret").decode()
            text, images, events = render_page(lab, "https://127.0.0.1:9464/", 2, os.environ.get("HVL_SERVE_SCREENSHOT"),
                                               {"Authorization": auth})
            self.assertIn(MARKUP_NAME, text)
            self.assertIn("Cyan Toner: 40%", text)
            self.assertIn("Waste Box: 70% full", text)
            self.assertEqual(images, 0)
            self.assertNotIn("Page.javascriptDialogOpening", events)


# One DNS question over UDP in the namespace it runs in: the rcode, then
# the rdata of each answer of the type asked, in hex.
DNS_ASK = r"""
import socket, struct, sys
server, port, qtype = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
q = struct.pack(">6H", 7, 0, 1, 0, 0, 0) + b"".join(bytes([len(l)]) + l for l in
    (a.encode() for a in sys.argv[4:])) + b"\0" + struct.pack(">HH", qtype, 1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(2); s.sendto(q, (server, port)); r = s.recv(65535)
def skip(i):
    while r[i] and r[i] < 0xC0: i += r[i] + 1
    return i + (2 if r[i] else 1)
i, answers = skip(12) + 4, struct.unpack(">H", r[6:8])[0]
print(r[3] & 15)
for _ in range(answers):
    i = skip(i); t, _, _, n = struct.unpack(">HHIH", r[i:i + 10]); i += 10
    if t == qtype: print(r[i:i + n].hex())
    i += n
"""
FLOOR1, FLOOR2, FLOOR3 = (["floor" + n, "sites", "example"] for n in "123")
ROOM = "Room 1.2 Drucker K\u00fcche"


class HvlScanPublish(unittest.TestCase):
    """Two links, each with printers and a publisher, into BIND; a client on
    a third subnet, without multicast from either, reads them from DNS."""

    def ask(self, host, server, port, qtype, labels):
        out = self.lab.exec(host, ["python3", "-c", DNS_ASK, server, str(port), str(qtype), *labels]).stdout.split()
        return (int(out[0]), out[1:]) if out else (-1, [])  # -1: no answer

    def until(self, what, seconds):
        t0 = time.monotonic()
        while not what():
            self.assertLess(time.monotonic() - t0, seconds)
            time.sleep(0.2)
        return time.monotonic() - t0

    def test_two_links_published_for_a_third_subnet(self):
        with Lab("pb" + SUFFIX, ["p1", "p2", "p3"]) as lab, tempfile.TemporaryDirectory() as tmp:
            self.lab = lab
            key, bad, svc = os.path.join(tmp, "key"), os.path.join(tmp, "bad"), os.path.join(tmp, "svc")
            text = subprocess.run(["tsig-keygen", "-a", "hmac-sha256", "floors"], capture_output=True, text=True).stdout
            for path, t in ((key, text), (bad, re.sub(r'secret "[^"]*"', 'secret "YmFkYmFkYmFkYmFk"', text))):
                with open(os.open(path, os.O_CREAT | os.O_WRONLY, 0o600), "w") as f:
                    f.write(t)
            lab.dns(ZONES, ["sites.example"], key=key, dynamic=["sites.example"])
            lab.link(1, ["pubb", "q1", "q2"])
            lab.link(2, ["far"])
            # A dotted, spaced, UTF-8 name and a TXT over 255 bytes, from avahi (which escapes the dot).
            os.mkdir(svc)
            with open(os.path.join(svc, "room.service"), "w", encoding="utf-8") as f:
                txt = "".join(f"<txt-record>{t}</txt-record>" for t in
                              ["txtvers=1", "note=" + "n" * 240, "rp=ipp/print", "ty=Halvet Z"])
                f.write(f"<service-group><name>{ROOM}</name>"  # one printer, two types
                        + "".join(f"<service><type>{t}</type><port>631</port>{txt}</service>"
                                  for t in ("_ipp._tcp", "_ipps._tcp")) + "</service-group>")
            lab.avahi("p1", services=svc)
            lab.announce("p2", {"instances": [{"name": "Gone Soon", "types": ["_printer._tcp"], "host": "gone"}]},
                         tag="gone")
            lab.ippeveprinter("p3", "Lab IPP")
            lab.avahi("pubb")
            lab.announce("q2", {"instances": [{"name": "Plotter B", "types": ["_pdl-datastream._tcp"],
                                               "host": "plotter-b", "port": 9100}]}, tag="plotter")
            lab.ippeveprinter("q1", "Not Announced", args=["-r", "off"])  # IPP, found by WSD only
            lab.wsd("q1", {"devices": [wsd_device(1, PRINT, metadata={"FriendlyName": "WSD Office"})]})
            lab.wait_browse("_ipp._tcp", ROOM)

            def publisher(host, floor, tag):
                lab.spawn(host, [HVL_SCAN, "--watch", "--watch-interval", "1", "--no-upnp",
                                 "--publish", f"{floor}.sites.example", "--publish-key", key], tag=tag)
            publisher("client", "floor1", "puba")
            publisher("pubb", "floor2", "pubb")
            names = {ROOM, "Gone Soon", "Lab IPP", "Plotter B", "WSD Office"}

            def listed():
                p = lab.exec("far", [HVL_SCAN, "--no-mdns", "--no-upnp", "--no-wsd", "--ipp", "--domain", "auto",
                                     "--json"])
                return {r["name"] for r in json.loads(p.stdout or "[]")} == names
            self.until(listed, 20)
            # The TXT byte for byte: as p1's avahi-daemon answers it, as DNS has it.
            _, announced = self.ask("client", lab.ip("p1"), 5353, 16, [ROOM, "_ipp", "_tcp", "local"])
            self.assertEqual(self.ask("far", "198.51.100.53", 53, 16, [ROOM, "_ipp", "_tcp", *FLOOR1]), (0, announced))
            self.assertGreater(len(announced[0]) // 2, 255)
            room_ipps = [ROOM, "_ipps", "_tcp", *FLOOR1]
            self.until(lambda: self.ask("far", "198.51.100.53", 53, 16, room_ipps) == (0, announced), 3)

            # A printer leaves link 2: gone from DNS within 2 intervals and 2 s.
            lab.kill("plotter")
            plotter = ["Plotter B", "_pdl-datastream", "_tcp", *FLOOR2]
            self.until(lambda: self.ask("far", "198.51.100.53", 53, 33, plotter)[0] == 3, 4)

            # Publisher 1 restarted on a domain that holds a printer gone meanwhile.
            lab.kill("puba", signal="INT")
            lab.kill("gone")
            publisher("client", "floor1", "puba2")
            gone = ["Gone Soon", "_printer", "_tcp", *FLOOR1]
            self.until(lambda: self.ask("far", "198.51.100.53", 53, 33, gone)[0] == 3, 6)
            ptrs = [self.ask("far", "198.51.100.53", 53, 12, [t, "_tcp", *FLOOR1])[1]
                    for t in ("_ipp", "_ipps", "_printer", "_pdl-datastream")]
            self.assertEqual(sum(len(p) for p in ptrs), 4, ptrs)  # the room and Lab IPP, each under _ipp and _ipps

            # A wrong key: one line that says why, and the zone as it was.
            soa = self.ask("far", "198.51.100.53", 53, 6, ["sites", "example"])
            p = subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, "--timeout", "2", "--no-upnp",
                                "--publish", "floor1.sites.example", "--publish-key", bad],
                               capture_output=True, text=True, timeout=30)
            self.assertEqual(p.returncode, 4, p.stderr)
            self.assertIn("does not accept key 'floors.': NOTAUTH (TSIG BADSIG); the key's secret", p.stderr)
            self.assertEqual(self.ask("far", "198.51.100.53", 53, 6, ["sites", "example"]), soa)

    def test_outage_shared_host_and_second_publisher(self):
        """named stopped for 12 s mid-watch, a print server's two queues on one
        host (default check-names), a hand-added printer and a second publisher
        on the same domain, then --unpublish."""
        with Lab("po" + SUFFIX, ["srv", "late"]) as lab, tempfile.TemporaryDirectory() as tmp:
            self.lab = lab
            key = os.path.join(tmp, "key")
            text = subprocess.run(["tsig-keygen", "-a", "hmac-sha256", "floors"], capture_output=True, text=True).stdout
            with open(os.open(key, os.O_CREAT | os.O_WRONLY, 0o600), "w") as f:
                f.write(text)
            named = lab.dns(ZONES, ["sites.example"], key=key, dynamic=["sites.example"])
            lab.link(1, ["pubb"])
            queues = {"instances": [{"name": f"Queue {q}", "types": ["_ipp._tcp"], "host": "printsrv",
                                     "txt": [f"UUID=0000000{i}-0000-4000-8000-000000000000", "rp=ipp/print"]}
                                    for i, q in enumerate("AB")]}
            lab.announce("srv", queues, tag="queues")
            lab.wait_browse("_ipp._tcp", "Queue B")
            watch = [HVL_SCAN, "--watch", "--watch-interval", "1", "--no-upnp", "--no-wsd",
                     "--publish", "floor3.sites.example", "--publish-key", key]
            lab.spawn("client", watch, tag="puba")

            def srv(name):
                return self.ask("pubb", "198.51.100.53", 53, 33, [name, "_ipp", "_tcp", *FLOOR3])[0]
            self.until(lambda: srv("Queue A") == 0 and srv("Queue B") == 0, 15)

            # named stopped 12 s; a printer comes meanwhile: in DNS within 20 s of named's return.
            os.kill(named, signal.SIGSTOP)  # not lab.kill: it would forget named
            time.sleep(1)
            lab.announce("late", {"instances": [{"name": "Late", "types": ["_ipp._tcp"], "host": "gw"}]}, tag="late")
            time.sleep(11)
            os.kill(named, signal.SIGCONT)
            self.until(lambda: srv("Late") == 0, 20)
            log = os.path.join(lab.dir, "client", "puba.log")
            time.sleep(2)
            self.assertEqual(read_text(log).count("works again"), 1, read_text(log))

            # A second publisher on the same domain: one line, nothing of the first's nor the hand's deleted.
            lab.avahi("pubb")
            lab.spawn("pubb", watch, tag="pubb")
            self.until(lambda: "another publisher" in read_text(os.path.join(lab.dir, "pubb", "pubb.log")), 10)
            time.sleep(4)
            self.assertEqual([srv(n) for n in ("Queue A", "Queue B", "Late", "Hand Added")], [0, 0, 0, 0])
            self.assertEqual(read_text(os.path.join(lab.dir, "pubb", "pubb.log")).count("another publisher"), 1)
            # No flapping: the zone's SOA (its serial counts every update) unchanged over five intervals.
            soa = self.ask("pubb", "198.51.100.53", 53, 6, ["sites", "example"])
            time.sleep(5)
            self.assertEqual(self.ask("pubb", "198.51.100.53", 53, 6, ["sites", "example"]), soa)
            _, gw = self.ask("pubb", "198.51.100.53", 53, 1, ["gw", *FLOOR3])
            self.assertEqual(gw, ["c0000201"])  # the router's A, never replaced by Late's host

            # avahi-daemon gone for three intervals: no record deleted meanwhile, all there after.
            lab.client_avahi("kill")
            time.sleep(3.5)
            self.assertEqual([srv(n) for n in ("Queue A", "Queue B", "Late")], [0, 0, 0])
            lab.client_avahi("restart")
            time.sleep(2.5)
            self.assertEqual([srv(n) for n in ("Queue A", "Queue B", "Late")], [0, 0, 0])

            # --unpublish: what the first wrote goes, the hand-added printer stays.
            lab.kill("puba", signal="INT")
            p = lab.exec("client", [HVL_SCAN, "--unpublish", "floor3.sites.example", "--publish-key", key])
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual([srv(n) for n in ("Queue A", "Late", "Hand Added")], [3, 3, 0])


if __name__ == "__main__":
    reason = skip_reason()
    if reason:
        print("skipped:", reason)
        sys.exit(77)
    if not HVL_SCAN or not UPNP_PEER:
        print("HVL_SCAN and HVL_UPNP_PEER must name the programs", file=sys.stderr)
        sys.exit(1)
    # HVL_LAB_PART=K/N runs every Nth test class from the Kth, so that CTest
    # can give each part a bound of its own; a new class joins a part by itself.
    part = os.environ.get("HVL_LAB_PART")
    if part:
        k, n = (int(x) for x in part.split("/"))
        classes = [c for c in globals().values()
                   if isinstance(c, type) and issubclass(c, unittest.TestCase) and c.__module__ == "__main__"]
        classes.sort(key=lambda c: c.__qualname__)
        # HVL_LAB_SKIP: classes left out of this build's run (names, spaces between).
        skipped = set(os.environ.get("HVL_LAB_SKIP", "").split())
        classes = [c for c in classes if c.__qualname__ not in skipped]
        loader = unittest.defaultTestLoader
        suite = unittest.TestSuite(loader.loadTestsFromTestCase(c) for c in classes[k - 1::n])
        sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)
    unittest.main()
