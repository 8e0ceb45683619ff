#!/usr/bin/python3
"""hvl-scan against the test lab: printers announced on a lab host are
listed with the right count text, the switches work, --json parses, and
Ctrl+C ends the scan with what was found. Exits 77 (skipped) without root."""

import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab"))
from lab import LAB_SH, Lab, skip_reason  # noqa: E402

HVL_SCAN = os.path.abspath(os.environ["HVL_SCAN"]) if os.environ.get("HVL_SCAN") else ""
UPNP_PEER = os.environ.get("HVL_UPNP_PEER", "")
DESCRIPTIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab", "upnp", "descriptions")
PLOTTER_IP = "192.0.2.77"
COUNT_RE = re.compile(r"^(\d+) devices? found\.$")

PRINTERS = {"instances": [
    # under both types: the second report of its address is dropped
    {"name": "Office Laser", "types": ["_printer._tcp", "_pdl-datastream._tcp"], "host": "office-laser",
     "txt": ["adminurl=http://office-laser.example/admin"]},
    {"name": "Plotter \u00c4 Room", "types": ["_pdl-datastream._tcp"], "host": "plotter", "port": 9100,
     "addresses": [PLOTTER_IP], "txt": []},
]}


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
        cls.lab = Lab("hvlscan", ["p1", "p2"]).up()
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
        p = self.scan()
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
                    self.assertEqual(set(entry), {"name", "ip", "url"})
                by_ip = {e["ip"]: e for e in doc}
                self.assertEqual(len(by_ip), count)
                if "--no-mdns" not in args:
                    self.assertEqual(by_ip[self.ip]["name"], "Office Laser")
                    self.assertEqual(by_ip[self.ip]["url"], "http://office-laser.example/admin")
                    self.assertEqual(by_ip[PLOTTER_IP]["name"], "Plotter \u00c4 Room")
                if "--no-upnp" not in args:
                    self.assertEqual(by_ip[self.upnp_ip]["name"], "Lab Printer Standard")
                self.assertNotIn("hvl.cfg", os.listdir(self.cwd.name))

    def test_sigint_stops_and_still_prints(self):
        proc = subprocess.Popen([LAB_SH, "exec-client", self.lab.name, "--", HVL_SCAN],
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


class HvlScanWithoutAvahi(unittest.TestCase):
    """No avahi-daemon in the client: mDNS cannot work there."""

    def test_no_usable_method_is_an_error(self):
        with Lab("hvlscannd", [], avahi=False) as lab, tempfile.TemporaryDirectory() as cwd:
            def scan(*args):
                return subprocess.run([LAB_SH, "exec-client", lab.name, "--", HVL_SCAN, *args],
                                      cwd=cwd, capture_output=True, text=True, timeout=60)

            p = scan("--no-upnp")
            self.assertEqual(p.returncode, 1)
            self.assertEqual(p.stdout, "")
            self.assertIn("MDNS discovery is not available", p.stderr)
            self.assertIn("nothing was scanned", p.stderr)
            # with UPnP still there the scan runs, and says what is missing
            p = scan("--json")
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(json.loads(p.stdout), [])
            self.assertIn("MDNS discovery is not available", p.stderr)


if __name__ == "__main__":
    reason = skip_reason()
    if reason:
        print("skipped:", reason)
        sys.exit(77)
    if not HVL_SCAN or not UPNP_PEER:
        print("HVL_SCAN and HVL_UPNP_PEER must name the programs", file=sys.stderr)
        sys.exit(1)
    unittest.main()
