#!/usr/bin/env python3
"""The real window through AT-SPI, as a screen reader meets it.

In the lab's client namespace, under Xvfb with a private session bus and
at-spi2-core's accessibility bus, hvl runs with Qt's AT-SPI bridge on; this
test finds the list, the status bar and Scan Network by role and name,
scans, waits for the end-of-scan notification, reads the rows as cells,
opens a row's details and reads the name field and both links.
Needs root (the lab), Xvfb, at-spi2-core and python3-pyatspi; exit 77 (skip)
without them.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab"))
from lab import Lab, skip_reason  # noqa: E402

HVL = os.environ.get("HVL_WINDOW", "")
PEER = os.environ.get("HVL_UPNP_PEER", "")
DESCRIPTIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab", "upnp", "descriptions")
LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
PRINTERS = {"instances": [{"name": "Office Laser", "types": ["_printer._tcp"], "host": "office-laser",
                           "txt": ["adminurl=http://office-laser.example/admin"]}]}
SKIP = 77


def missing_tools():
    if os.geteuid() != 0:
        return skip_reason()
    for tool in ("Xvfb", "dbus-run-session", LAUNCHER):
        if shutil.which(tool) is None:
            return f"{tool} is not installed"
    probe = subprocess.run(["/usr/bin/python3", "-c", "import pyatspi"], capture_output=True)
    if probe.returncode != 0:
        return "python3-pyatspi is not installed"
    if not (os.access(HVL, os.X_OK) and os.access(PEER, os.X_OK)):
        return "HVL_WINDOW and HVL_UPNP_PEER must name the built programs"
    return ""


# --------------------------------------------------------------------------
# Inside the lab: the desktop session and the screen reader's side.

class Session:
    """Xvfb, the accessibility bus and hvl; all ended by close()."""

    def __init__(self, work):
        self.work = work
        self.procs = []
        env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(work, "runtime"))
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        rfd, wfd = os.pipe()
        self.start(["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1024x600x24", "-nolisten", "tcp"],
                   env, pass_fds=(wfd,))
        os.close(wfd)
        with os.fdopen(rfd) as f:
            display = f.readline().strip()
        if not display:
            raise AssertionError("Xvfb did not start")
        env["DISPLAY"] = ":" + display
        self.start([LAUNCHER, "--launch-immediately"], env)
        self.env = env

    def start(self, argv, env, **kw):
        p = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=open(os.path.join(self.work, os.path.basename(argv[0]) + ".log"), "w"), **kw)
        self.procs.append(p)
        return p

    def start_window(self):
        env = dict(self.env, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        return self.start([HVL], env, cwd=self.work)

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(3)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


def inside(expected_rows):
    os.environ.pop("NO_AT_BRIDGE", None)
    work = tempfile.mkdtemp(prefix="hvl-atspi-")
    session = Session(work)
    try:
        os.environ["DISPLAY"] = session.env["DISPLAY"]
        os.environ["XDG_RUNTIME_DIR"] = session.env["XDG_RUNTIME_DIR"]
        drive(session, expected_rows)
    finally:
        session.close()
        shutil.rmtree(work, ignore_errors=True)


def wait_for(what, fn, seconds, pump=None):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if pump:
            pump()
        value = fn()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out after {seconds} s waiting for {what}")


def drive(session, expected_rows):
    import pyatspi
    from gi.repository import Atspi, GLib

    def walk(node):
        yield node
        for child in node:
            if child is not None:
                yield from walk(child)

    def find(root, role, name=None):
        for node in walk(root):
            if node.getRoleName() == role and (name is None or node.name == name):
                return node
        return None

    def press(node, opens_modal=False):
        action = node.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        assert "Press" in names, f"{node.name}: actions {names}"
        try:
            action.doAction(names.index("Press"))
        except GLib.Error:
            # Qt answers a command that runs a modal dialog only when the
            # dialog closes; the dialog itself is served meanwhile.
            if not opens_modal:
                raise

    def application():
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == "hvl":
                return app
        return None

    announced = []

    def on_event(event):
        try:
            if event.source.getRoleName() == "notification" and event.detail1 == 1:
                announced.append(event.source.name)
        except GLib.Error:
            pass  # from a window that has gone meanwhile

    # Registered before the window starts, so Qt's bridge knows of it from
    # its first look at the registry rather than from a later signal.
    listener = Atspi.EventListener.new(on_event)
    listener.register("object:state-changed:showing")
    context = GLib.MainContext.default()
    window = session.start_window()

    def pump():
        while context.iteration(False):
            pass

    app = wait_for("hvl on the accessibility bus", application, 20)
    main = wait_for("the main window", lambda: find(app, "dialog", "Halvet Printer Locator"), 10)

    # Every control by role and name.
    tree = find(main, "tree", "Printers")
    assert tree is not None and tree.description, "the list has no name or description"
    headers = [n for n in walk(tree) if n.getRoleName() == "table column header"]
    assert [h.name for h in headers] == ["Printer", "IP Address"], [h.name for h in headers]
    assert all(h.description for h in headers), "a column header has no description"
    status_bar = find(main, "status bar", "Status")
    assert status_bar is not None and status_bar.description, "the status bar has no name or description"
    scan = find(main, "menu item", "Scan Network")
    assert scan is not None

    # Scan: the end of it arrives as the status bar's notification.
    press(scan)
    final = wait_for("the end-of-scan notification", lambda: [a for a in announced if a.endswith("found.")],
                     45, pump)
    assert final == ["2 devices found."], announced
    pane = find(status_bar, "notification")
    wait_for("the status text", lambda: pane.name == "2 devices found.", 2, pump)

    table = tree.queryTable()
    rows = sorted([table.getAccessibleAt(r, c).name for c in range(table.nColumns)] for r in range(table.nRows))
    assert rows == expected_rows, rows

    # A row's details: the name field and both links, named for what they open.
    office = [r for r in range(table.nRows) if table.getAccessibleAt(r, 0).name == "Office Laser"][0]
    assert table.addRowSelection(office)
    Atspi.set_timeout(1000, 15000)
    press(find(main, "menu item", "Details"), opens_modal=True)
    details = wait_for("the details dialog", lambda: find(app, "dialog", "Office Laser"), 10, pump)
    name_field = find(details, "text", "Printer name")
    assert name_field is not None
    assert name_field.queryText().getText(0, -1) == "Office Laser"
    links = [n for n in walk(details) if n.getRoleName() == "link"]
    ip = expected_rows[1][1] if expected_rows[1][0] == "Office Laser" else expected_rows[0][1]
    assert [link.name for link in links] == [f"http://{ip}", "http://office-laser.example/admin"], \
        [link.name for link in links]
    for link in links:
        assert link.getState().contains(pyatspi.STATE_FOCUSABLE), f"{link.name} is no tab stop"
        action = link.queryAction()
        assert "Press" in [action.getName(i) for i in range(action.nActions)]
        assert link.description
    press(find(details, "push button", "OK"))
    wait_for("the details dialog to close", lambda: find(app, "dialog", "Office Laser") is None, 10, pump)

    press(find(main, "menu item", "Exit"))
    window.wait(10)
    print(json.dumps({"rows": rows, "announced": announced}))


# --------------------------------------------------------------------------
# Outside: the lab and its printers.

def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--inside":
        inside(json.loads(sys.argv[2]))
        return 0
    reason = missing_tools()
    if reason:
        print(f"SKIP: {reason}")
        return SKIP
    name = "at" + str(os.getpid() % 100000)
    with Lab(name, ["p1", "p2"]) as lab:
        lab.announce("p1", PRINTERS)
        lab.wait_browse("_printer._tcp", "Office Laser")
        upnp_ip = lab.ip("p2")
        lab.spawn("p2", [PEER, upnp_ip, DESCRIPTIONS, "printer.xml"], tag="upnp")
        log = os.path.join(lab.dir, "p2", "upnp.log")
        wait_for("the UPnP device", lambda: os.path.exists(log) and "ready" in open(log).read(), 10)
        rows = sorted([["Office Laser", lab.ip("p1")], ["Lab Printer Standard", upnp_ip]])
        run = lab.exec_client(["dbus-run-session", "--", "/usr/bin/python3", os.path.abspath(__file__),
                               "--inside", json.dumps(rows)], timeout=120)
        sys.stdout.write(run.stdout)
        sys.stderr.write("\n".join(line for line in run.stderr.splitlines() if "fd limit" not in line))
        if run.returncode != 0:
            print(f"FAIL: the AT-SPI session ended with {run.returncode}")
            return 1
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
