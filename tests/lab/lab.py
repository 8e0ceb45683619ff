"""The test lab from Python tests: a thin wrapper around lab.sh.

    from lab import Lab, skip_reason
    @unittest.skipIf(skip_reason(), skip_reason())
    ...
    with Lab("demo", ["p1"]) as lab:
        lab.announce("p1", {"instances": [...]})
        lab.exec_client(["avahi-browse", "-art"])
"""

import json
import os
import subprocess

LAB_SH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lab.sh")


def skip_reason():
    """Empty when the lab can run here, else why not."""
    if os.geteuid() != 0:
        return "the test lab needs root (network namespaces, mounts)"
    return ""


class LabError(RuntimeError):
    pass


class Lab:
    def __init__(self, name, hosts=(), avahi=True, ipv6=False, cache_entries=None):
        self.name = name
        self.cache_entries = cache_entries
        self.hosts = list(hosts)
        self.avahi_in_client = avahi
        self.ipv6 = ipv6
        self.root = os.environ.get("HVL_LAB_ROOT", "/tmp/hvl-lab")

    def run(self, *args, check=True, timeout=120):
        p = subprocess.run([LAB_SH, *args], capture_output=True, text=True, timeout=timeout)
        if check and p.returncode != 0:
            raise LabError(p.stderr.strip() or f"lab.sh {args[0]} failed")
        return p.stdout.strip()

    def up(self):
        extra = ([] if self.avahi_in_client else ["--no-avahi"]) + (["--ipv6"] if self.ipv6 else []) + \
            (["--cache-entries", str(self.cache_entries)] if self.cache_entries else [])
        self.run("up", self.name, "--owner", str(os.getpid()), *extra, *self.hosts)
        return self

    def down(self):
        self.run("down", self.name, check=False)

    def __enter__(self):
        return self.up()

    def __exit__(self, *exc):
        self.down()

    @property
    def dir(self):
        return os.path.join(self.root, self.name)

    def spawn(self, host, argv, tag="cmd"):
        return int(self.run("spawn", self.name, host, "--tag", tag, "--", *argv))

    def exec(self, host, argv, timeout=60):
        return subprocess.run([LAB_SH, "exec", self.name, host, "--", *argv],
                              capture_output=True, text=True, timeout=timeout)

    def exec_client(self, argv, timeout=60):
        return self.exec("client", argv, timeout)

    def exec_resolver(self, argv, timeout=60):
        """Runs argv where the client's avahi-daemon runs (its /run, the lab's
        nsswitch.conf): the system resolver finds .local names there."""
        return subprocess.run([LAB_SH, "exec-resolver", self.name, "--", *argv],
                              capture_output=True, text=True, timeout=timeout)

    def _description(self, description, tag):
        path = os.path.join(self.dir, f"{tag}.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(description, f)
        return path

    def announce(self, host, description, tag="announce"):
        return int(self.run("announce", self.name, host, self._description(description, tag), "--tag", tag))

    def wsd(self, host, description, tag="wsd"):
        """WS-Discovery devices (wsd_responder.py) answering from the host."""
        return int(self.run("wsd", self.name, host, self._description(description, tag), "--tag", tag))

    def stale(self, host, description, tag="stale"):
        """Switched-off printers: cached by the client's avahi-daemon, gone."""
        self.run("stale", self.name, host, self._description(description, tag), "--tag", tag)

    def client_avahi(self, action):
        """"kill", "freeze", "thaw" or "restart" the client's avahi-daemon."""
        self.run("client-avahi", self.name, action)

    def ippeveprinter(self, host, name, tag="ippeveprinter", args=()):
        """args: more ippeveprinter options, after the helper's own (a later -p wins)."""
        return int(self.run("ippeveprinter", self.name, host, name, "--tag", tag, "--", *args))

    def snmp(self, host, communities, tag="snmp"):
        """An SNMP agent: {community: {oid: (tag, value)}}, tags as snmpsim's
        .snmprec files have them ("4" text, "4x" hex octets, "2" integer...)."""
        data = os.path.join(self.dir, host, "data-" + tag)
        os.makedirs(data, exist_ok=True)
        for community, records in communities.items():
            with open(os.path.join(data, community + ".snmprec"), "w", encoding="utf-8") as f:
                for oid in sorted(records, key=lambda o: [int(n) for n in o.split(".")]):
                    f.write("%s|%s|%s\n" % (oid, *records[oid]))
        return int(self.run("snmp", self.name, host, data, "--tag", tag))

    def wait_browse(self, stype, instance, seconds=10):
        self.run("wait-browse", self.name, stype, instance, str(seconds))

    def kill(self, pid_or_tag, signal="TERM"):
        self.run("kill", self.name, str(pid_or_tag), "--signal", signal)

    def avahi(self, host, services=None):
        """services: a directory of avahi .service files the daemon announces."""
        self.run("avahi", self.name, host, *(["--services", services] if services else []))

    def stop_avahi(self, host):
        self.run("stop-avahi", self.name, host)

    def dns(self, zones, search=(), key=None, dynamic=()):
        """An authoritative DNS server serving the zone files of a directory,
        the client's resolver pointing at it with these search domains; the
        dynamic zones take updates signed with the key (a tsig-keygen file)."""
        args = [a for domain in search for a in ("--search", domain)]
        args += (["--key", key] if key else []) + [a for zone in dynamic for a in ("--dynamic", zone)]
        return int(self.run("dns", self.name, zones, *args))

    def link(self, n, hosts):
        """Another link (1-9, 10.40.<n>.0/24) behind the DNS server's router, with these hosts."""
        self.run("link", self.name, str(n), *hosts)

    def ip(self, host):
        return self.run("ip", self.name, host)

    def env(self, host="client"):
        return dict(line.split("=", 1) for line in self.run("env", self.name, host).splitlines())
