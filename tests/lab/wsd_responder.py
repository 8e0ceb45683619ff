#!/usr/bin/python3
"""WS-Discovery devices (2005/04, DPWS metadata over HTTP on 5357) for the lab,
from JSON: {"devices": [{"uuid": "...{i}", "types": "wsdp:Device wprt:PrintDeviceType",
"xaddrs": true (false: a Resolve is needed), "transport": "ipv4" | "ipv6" | "both",
"address": "192.0.2.10{i}" (optional, added to eth0), "metadata": {"FriendlyName",
"Manufacturer", "ModelName", "PresentationUrl", "hosted": types, "pad": bytes of trailing
space} or "hang", "count": N}]}
Prefixes: wsdp wprt wscn pub. Answers every Probe (the client's own filter is under
test) and each Resolve of its endpoints after 0-500 ms (plus a device's "delay":
{"ipv4": s, "ipv6": s} on that family), once per MessageID and family; Hello on start (then every "hello_every" seconds, top level, if given), Bye on
SIGTERM (its endpoint in capitals with "bye_upper": true). Prints "ready", then
"probe <MessageID>" for each Probe heard."""

import json, os, random, re, select, signal, socket, struct, subprocess, sys, threading, time, uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

V4, V6 = socket.AF_INET, socket.AF_INET6
WSD, DP = "http://schemas.xmlsoap.org/ws/2005/04/discovery/", "http://schemas.xmlsoap.org/ws/2006/02/devprof"
NS = " ".join(f'xmlns:{k}="{v}"' for k, v in {
    "soap": "http://www.w3.org/2003/05/soap-envelope", "wsa": "http://schemas.xmlsoap.org/ws/2004/08/addressing",
    "wsd": WSD[:-1], "wsdp": DP, "wsx": "http://schemas.xmlsoap.org/ws/2004/09/mex",
    "pub": "http://schemas.microsoft.com/windows/pub/2005/07",
    "wprt": "http://schemas.microsoft.com/windows/2006/08/wdp/print",
    "wscn": "http://schemas.microsoft.com/windows/2006/08/wdp/scan"}.items())


def envelope(action, body, relates="", to="urn:schemas-xmlsoap-org:ws:2005:04:discovery"):
    rel = relates and f"<wsa:RelatesTo>{relates}</wsa:RelatesTo>"
    return (f'<?xml version="1.0" encoding="utf-8"?><soap:Envelope {NS}><soap:Header><wsa:To>{to}</wsa:To>'
            f"<wsa:Action>{action}</wsa:Action><wsa:MessageID>urn:uuid:{uuid.uuid4()}</wsa:MessageID>{rel}"
            f"</soap:Header><soap:Body>{body}</soap:Body></soap:Envelope>").encode()


def link_local():  # eth0's, once duplicate address detection is over
    for _ in range(100):
        for a, _i, _p, scope, flags, name in (line.split() for line in open("/proc/net/if_inet6")):
            if name == "eth0" and scope == "20" and not int(flags, 16) & 0x40:
                return ":".join(a[i:i + 4] for i in range(0, 32, 4))
        time.sleep(0.05)
    sys.exit("no IPv6 link-local address on eth0")


class Device:
    def __init__(self, d, v4, v6):
        self.d, self.endpoint, self.path = d, "urn:uuid:" + d["uuid"], "/" + d["uuid"]
        self.hosts = {V4: d.get("address", v4), V6: f"[{v6}]"}
        self.families = {"ipv4": (V4,), "ipv6": (V6,), "both": (V4, V6)}[d.get("transport", "ipv4")]
        if "address" in d:
            subprocess.run(["ip", "addr", "add", d["address"] + "/24", "dev", "eth0"], check=True)
        self.reply = socket.socket(V4, socket.SOCK_DGRAM)  # answers come from its own address
        self.reply.bind((self.hosts[V4], 0))
        self.reply.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(self.hosts[V4]))

    def match(self, kind, family, tag):
        x = self.d.get("xaddrs", True) or kind == "Resolve"
        x = x and f"<wsd:XAddrs>http://{self.hosts[family]}:5357{self.path}</wsd:XAddrs>" or ""
        return (f"<wsd:{tag}><wsa:EndpointReference><wsa:Address>{self.endpoint}</wsa:Address></wsa:EndpointReference>"
                f"<wsd:Types>{self.d['types']}</wsd:Types>{x}<wsd:MetadataVersion>1</wsd:MetadataVersion></wsd:{tag}>")

    def metadata(self):
        m = self.d["metadata"]
        f = {k: f"<wsdp:{k}>{m[k]}</wsdp:{k}>" if k in m else "" for k in
             ("Manufacturer", "ModelName", "PresentationUrl", "FriendlyName")}
        hosted = "hosted" in m and f"<wsdp:Hosted><wsdp:Types>{m['hosted']}</wsdp:Types></wsdp:Hosted>" or ""
        sections = (f"<wsdp:ThisModel>{f['Manufacturer']}{f['ModelName']}{f['PresentationUrl']}</wsdp:ThisModel>",
                    f"<wsdp:ThisDevice>{f['FriendlyName']}</wsdp:ThisDevice>", "<wsdp:Relationship><wsdp:Host>"
                    f"<wsdp:Types>{self.d['types']}</wsdp:Types></wsdp:Host>{hosted}</wsdp:Relationship>")
        pad = b" " * m.get("pad", 0)
        return envelope("http://schemas.xmlsoap.org/ws/2004/09/transfer/GetResponse", "<wsx:Metadata>" + "".join(
            f'<wsx:MetadataSection Dialect="{DP}/{s[6:s.index(">")]}">{s}</wsx:MetadataSection>' for s in sections)
            + "</wsx:Metadata>", to="http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous") + pad


def main():
    v4, v6, index = os.environ.get("HVL_LAB_IP", "192.0.2.10"), link_local(), socket.if_nametoindex("eth0")
    devices = [Device({k: v.replace("{i}", str(i)) if isinstance(v, str) else v for k, v in e.items()}, v4, v6)
               for e in json.load(open(sys.argv[1]))["devices"] for i in range(1, e.get("count", 1) + 1)]
    socks = {V4: socket.socket(V4, socket.SOCK_DGRAM), V6: socket.socket(V6, socket.SOCK_DGRAM)}
    groups = {V4: ("239.255.255.250", 3702), V6: ("ff02::c", 3702, 0, index)}
    for family, s in socks.items():
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    socks[V6].setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    socks[V4].bind(("", 3702))
    socks[V6].bind(("::", 3702))
    socks[V4].setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(groups[V4][0]) + socket.inet_aton(v4))
    socks[V6].setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP,
                         socket.inet_pton(V6, "ff02::c") + struct.pack("@I", index))
    socks[V6].setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
    by_path = {dev.path: dev for dev in devices}

    class Get(BaseHTTPRequestHandler):
        def do_POST(self):
            self.rfile.read(int(self.headers.get("Content-Length", 0)))
            dev = by_path.get(self.path)
            if dev and dev.d["metadata"] == "hang":
                time.sleep(30)
            body = dev.metadata() if dev else b""
            self.send_response(200 if dev else 404)
            self.send_header("Content-Type", "application/soap+xml")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    ThreadingHTTPServer.address_family, ThreadingHTTPServer.daemon_threads = V6, True  # dual-stack
    threading.Thread(target=ThreadingHTTPServer(("::", 5357), Get).serve_forever, daemon=True).start()

    def send(dev, family, data, to):
        (dev.reply if family == V4 else socks[V6]).sendto(data, to)

    config = json.load(open(sys.argv[1]))

    def announce(kind):
        for dev in devices:
            for family in dev.families:
                match = dev.match(kind, family, kind)
                if kind == "Bye" and config.get("bye_upper"):
                    match = match.replace(dev.endpoint, dev.endpoint.upper())
                send(dev, family, envelope(WSD + kind, match), groups[family])

    signal.signal(signal.SIGTERM, lambda *a: (announce("Bye"), sys.exit(0)))
    announce("Hello")
    print("ready", flush=True)
    seen, pending = set(), []  # (when, device, family, data, to)
    hello_every, next_hello = config.get("hello_every"), time.monotonic()
    while True:
        if hello_every and time.monotonic() >= next_hello:
            announce("Hello")
            next_hello = time.monotonic() + hello_every
            pending.append((next_hello, None))  # only to wake the loop
        timeout = max(0, min(p[0] for p in pending) - time.monotonic()) if pending else None
        for s in select.select(list(socks.values()), [], [], timeout)[0]:
            data, sender = s.recvfrom(65536)
            text = data.decode("utf-8", "replace")
            msg_id = re.search(r"MessageID[^>]*>\s*([^<\s]+)", text)
            kind = "Probe" if re.search(r"<(\w+:)?Probe[\s>]", text) else "Resolve" if "Resolve" in text else None
            if msg_id and kind == "Probe" and all(msg_id[1] != k[1] for k in seen):
                print("probe", msg_id[1], flush=True)
            for dev in devices if msg_id and kind else ():
                key = (dev.endpoint, msg_id[1], s.family)
                if s.family in dev.families and key not in seen and (kind == "Probe" or dev.endpoint in text):
                    seen.add(key)
                    body = f"<wsd:{kind}Matches>{dev.match(kind, s.family, kind + 'Match')}</wsd:{kind}Matches>"
                    out = envelope(WSD + kind + "Matches", body, msg_id[1])
                    late = dev.d.get("delay", {}).get("ipv4" if s.family == V4 else "ipv6", 0)
                    pending.append((time.monotonic() + random.uniform(0, 0.5) + late, dev, s.family, out, sender))
        for p in [p for p in pending if p[0] <= time.monotonic()]:
            pending.remove(p)
            if p[1]:
                send(*p[1:])


if __name__ == "__main__":
    main()
