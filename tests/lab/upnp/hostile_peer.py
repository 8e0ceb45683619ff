#!/usr/bin/python3
"""An SSDP + HTTP peer for the test lab that answers every search with
description documents meant to hurt a control point.

    hostile_peer.py <ipv4-address> <mode>[,<mode>...] [--http-port N] [--only-from IP]

Each mode is one device: the peer answers an M-SEARCH with one response per
mode (LOCATION http://<address>:<port>/<mode>.xml) and serves that path:

  huge      a 20 MB document, announced in Content-Length
  stream    a well-formed 20 MB document without Content-Length
  endless   a body that never ends
  notxml    text that is not XML
  html      an HTML page
  bomb      an entity bomb in an internal DTD subset
  xxe       an external entity naming a local file
  doctype   a good printer description behind a bare DOCTYPE
  hang      accepts the request and never answers
  drip      headers, then one byte every 2 s
  notfound  404 with a large body
  redirect  302 to a good description on another address
  elsewhere LOCATION names another address (must not be fetched)
  named     a good printer whose LOCATION names its host by name
  deep      a good printer with devices nested far deeper than any real one
  anonymous a printer with a blank friendlyName and no UDN
  many      forty devices, each with a URL of its own that hangs

With --only-from it answers only searches from that address, so other
control points in the lab (gupnp-network-light looks for its peers) are not
swamped by it. Runs until SIGTERM. Everything stays inside the namespace it is started in.
"""
import signal
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SSDP_GROUP = "239.255.255.250"
SSDP_PORT = 1900


def printer_doc(name, udn, extra=""):
    return (
        '<?xml version="1.0"?>\n'
        '<root xmlns="urn:schemas-upnp-org:device-1-0">'
        "<specVersion><major>1</major><minor>0</minor></specVersion>"
        "<device><deviceType>urn:schemas-upnp-org:device:Printer:1</deviceType>"
        f"<friendlyName>{name}</friendlyName><UDN>{udn}</UDN>{extra}</device></root>"
    ).encode()


def udn_for(address, mode):
    return "uuid:0badc0de-%08x-%s" % (struct.unpack("!I", socket.inet_aton(address))[0], mode)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        sys.stdout.write("http %s %s\n" % (self.client_address[0], fmt % args))
        sys.stdout.flush()

    def send_body(self, code, body, ctype="text/xml", length=True):
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        if length:
            self.send_header("Content-Length", str(len(body)))
        else:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def stream_forever(self, chunk, limit=None):
        sent = 0
        try:
            while limit is None or sent < limit:
                self.wfile.write(chunk)
                sent += len(chunk)
        except OSError:
            pass

    def do_GET(self):
        mode = self.path.strip("/").split(".")[0]
        address = self.server.peer_address
        udn = udn_for(address, mode)
        if mode == "huge":
            self.send_response(200)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Content-Length", str(20 * 1024 * 1024))
            self.end_headers()
            self.stream_forever(b"<!-- " + b"x" * 65536 + b" -->", 20 * 1024 * 1024)
        elif mode in ("stream", "endless"):
            self.send_response(200)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Connection", "close")
            self.end_headers()
            head = printer_doc("Hostile %s" % mode, udn)
            try:
                self.wfile.write(head[: head.index(b"</root>")])
            except OSError:
                return
            self.stream_forever(b"<!-- " + b"y" * 65536 + b" -->", 20 * 1024 * 1024 if mode == "stream" else None)
            if mode == "stream":
                try:
                    self.wfile.write(b"</root>")
                except OSError:
                    pass
            self.close_connection = True
        elif mode == "notxml":
            self.send_body(200, b"this is not a description { } < & >" * 100, "text/plain")
        elif mode == "html":
            self.send_body(200, b"<html><body><p>Printer<br></body></html>", "text/html")
        elif mode == "bomb":
            lol = '<!ENTITY a0 "lollollollollollollollollollol">'
            for i in range(1, 10):
                lol += '<!ENTITY a%d "%s">' % (i, ("&a%d;" % (i - 1)) * 10)
            body = ('<?xml version="1.0"?><!DOCTYPE root [%s]>' % lol).encode() + printer_doc(
                "&a9;", udn
            ).split(b"?>", 1)[1]
            self.send_body(200, body)
        elif mode == "xxe":
            body = b'<?xml version="1.0"?><!DOCTYPE root [<!ENTITY x SYSTEM "file:///etc/passwd">]>' + printer_doc(
                "Hostile &x;", udn
            ).split(b"?>", 1)[1]
            self.send_body(200, body)
        elif mode == "doctype":
            body = b'<?xml version="1.0"?><!DOCTYPE root>' + printer_doc("Hostile doctype", udn).split(b"?>", 1)[1]
            self.send_body(200, body)
        elif mode == "hang" or mode.startswith("many-"):
            time.sleep(3600)
        elif mode == "drip":
            try:
                self.send_response(200)
                self.send_header("Content-Type", "text/xml")
                self.send_header("Content-Length", "1000000")
                self.end_headers()
                for b in printer_doc("Hostile drip", udn):
                    self.wfile.write(bytes([b]))
                    self.wfile.flush()
                    time.sleep(2)
            except OSError:
                pass
        elif mode == "notfound":
            self.send_body(404, b"n" * (8 * 1024 * 1024), "text/plain")
        elif mode == "redirect":
            self.send_response(302)
            self.send_header("Location", "http://192.0.2.250:%d/named.xml" % self.server.server_port)
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif mode == "named":
            self.send_body(200, printer_doc("Lab Printer Named", udn, "<modelURL>http://printers.example/named</modelURL>"))
        elif mode == "deep":
            inner = ""
            for i in range(60):
                inner = (
                    "<deviceList><device><deviceType>urn:schemas-upnp-org:device:Printer:1</deviceType>"
                    "<friendlyName>Deep %d</friendlyName><UDN>%s-%d</UDN>%s</device></deviceList>" % (i, udn, i, inner)
                )
            self.send_body(200, printer_doc("Lab Printer Deep", udn, inner))
        elif mode == "anonymous":
            self.send_body(200, printer_doc(" ", udn).replace(("<UDN>%s</UDN>" % udn).encode(), b""))
        else:
            self.send_body(404, b"")


def location_for(address, port, mode):
    if mode == "named":
        return "http://lab-named-printer:%d/named.xml" % port
    if mode == "elsewhere":
        return "http://192.0.2.251:%d/elsewhere.xml" % port
    return "http://%s:%d/%s.xml" % (address, port, mode)


def ssdp_loop(address, port, modes, stop, only_from):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("", SSDP_PORT))
    mreq = socket.inet_aton(SSDP_GROUP) + socket.inet_aton(address)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    sock.settimeout(0.5)
    while not stop.is_set():
        try:
            data, sender = sock.recvfrom(65536)
        except socket.timeout:
            continue
        if not data.startswith(b"M-SEARCH") or (only_from and sender[0] != only_from):
            continue
        answers = []
        for mode in modes:
            answers += ["many-%d" % i for i in range(40)] if mode == "many" else [mode]
        for mode in answers:
            usn = udn_for(address, mode) + "::upnp:rootdevice"
            reply = (
                "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\n"
                "LOCATION: %s\r\nSERVER: Linux/5 UPnP/1.0 hostile/1\r\n"
                "ST: upnp:rootdevice\r\nUSN: %s\r\n\r\n" % (location_for(address, port, mode), usn)
            )
            sock.sendto(reply.encode(), sender)
        sys.stdout.write("answered %s with %d\n" % (sender[0], len(answers)))
        sys.stdout.flush()


def main():
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    address = sys.argv[1]
    modes = [m for m in sys.argv[2].split(",") if m]
    port = 8080
    if "--http-port" in sys.argv:
        port = int(sys.argv[sys.argv.index("--http-port") + 1])
    only_from = None
    if "--only-from" in sys.argv:
        only_from = sys.argv[sys.argv.index("--only-from") + 1]
    server = ThreadingHTTPServer((address, port), Handler)
    server.daemon_threads = True
    server.peer_address = address
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Thread(target=ssdp_loop, args=(address, port, modes, stop, only_from), daemon=True).start()
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    while not stop.is_set():
        stop.wait(0.5)
    server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
