#!/usr/bin/python3
"""What a screen reader gets from the real application: its accessibility tree read over a real AT-SPI bus,
in reading order, and the events a change of the status raises.

The application runs in window mode on an Xvfb of its own, with a private session bus, the AT-SPI bus launcher
on it saying that a screen reader runs, and a replay feed (a FIFO) that the test writes advertisements into
when it is ready for them.

    panel_accessibility.py GLINTWARD_EXECUTABLE
"""

import importlib.util
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

APP = None
SKIP = [p for p in ("Xvfb", "dbus-daemon", "xdotool") if not shutil.which(p)]
LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
if not os.access(LAUNCHER, os.X_OK):
    SKIP.append(LAUNCHER)
# Imported once the test's own bus is up: it connects as it loads.
try:
    import gi

    gi.require_version("Atspi", "2.0")
    if importlib.util.find_spec("pyatspi") is None:
        raise ImportError("pyatspi")
except (ImportError, ValueError):
    SKIP.append("python3-pyatspi")


def wait_until(condition, timeout, step=0.05, pump=None):
    """Polls `condition` until it holds or `timeout` seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        if pump:
            pump(step)
        else:
            time.sleep(step)


class Capture:
    """btsnoop records (the monitor format btmon writes) of LE advertising reports, one named device each."""

    # btsnoop counts microseconds from year 0; the replay paces by differences only.
    START_US = 0x00E03AB44A676000 + 1700000000 * 1000000

    @staticmethod
    def header():
        return b"btsnoop\0" + struct.pack(">II", 1, 2001)

    @staticmethod
    def report(address, name, rssi, at_us):
        data = bytes([2, 0x01, 0x06, len(name) + 1, 0x09]) + name.encode()
        octets = bytes(int(b, 16) for b in reversed(address.split(":")))
        params = bytes([0x02, 0x01, 0x00, 0x01]) + octets + bytes([len(data)]) + data
        params += struct.pack("b", rssi)
        event = bytes([0x3E, len(params)]) + params
        t = Capture.START_US + at_us
        return struct.pack(">IIIIII", len(event), len(event), 0x0003, 0, t >> 32, t & 0xFFFFFFFF) + event


class Desktop:
    """Xvfb, a session bus and the AT-SPI bus on it, all private to one test and stopped after it."""

    def __init__(self, directory):
        self.processes = []
        self.env = dict(os.environ)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("AT_SPI_BUS_ADDRESS", None)
        try:
            self.begin(directory)
        except BaseException:
            self.stop()
            raise

    def begin(self, directory):
        # Xvfb picks a free display itself and tells us which.
        read, write = os.pipe()
        self.start(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                   pass_fds=(write,))
        os.close(write)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            if not select.select([read], [], [], max(0, deadline - time.monotonic()))[0]:
                break
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        if not number.strip():
            raise RuntimeError("Xvfb did not start")
        self.env["DISPLAY"] = ":" + number.decode().strip()

        bus = self.start(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                          "--address=unix:dir=" + directory], stdout=subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        if not self.env["DBUS_SESSION_BUS_ADDRESS"]:
            raise RuntimeError("dbus-daemon did not start")

        # The launcher names the bus's socket after the display, under the runtime directory.
        runtime = os.path.join(directory, "a11y")
        os.makedirs(runtime, mode=0o700)
        self.start([LAUNCHER, "--launch-immediately"], env=dict(self.env, XDG_RUNTIME_DIR=runtime))
        # Asked only once the launcher owns its name: asking before would start another one.
        address = wait_until(lambda: self.has_owner("org.a11y.Bus") and self.a11y_address(), 15, step=0.1)
        if not address:
            raise RuntimeError("at-spi-bus-launcher did not start")
        self.env["AT_SPI_BUS_ADDRESS"] = address
        # What a screen reader says as it starts, and what toolkits ask before they join the bus.
        subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                        "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status",
                        "string:ScreenReaderEnabled", "variant:boolean:true"],
                       env=self.env, capture_output=True, check=True, timeout=5)

    def has_owner(self, name):
        out = subprocess.run(["dbus-send", "--session", "--print-reply=literal", "--dest=org.freedesktop.DBus",
                              "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name],
                             env=self.env, capture_output=True, text=True, timeout=5)
        return "true" in out.stdout

    def a11y_address(self):
        out = subprocess.run(["dbus-send", "--session", "--print-reply=literal", "--dest=org.a11y.Bus",
                              "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                             env=self.env, capture_output=True, text=True, timeout=5)
        return out.stdout.strip() if out.returncode == 0 else ""

    def start(self, args, **kwargs):
        kwargs.setdefault("env", self.env)
        process = subprocess.Popen(args, stdin=subprocess.DEVNULL, start_new_session=True,
                                   **kwargs)
        self.processes.append(process)
        return process

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait(5)
            if process.stdout:
                process.stdout.close()


@unittest.skipIf(SKIP, "missing: " + ", ".join(SKIP) + " (scripts/install-deps installs them)")
class PanelAccessibilityTest(unittest.TestCase):
    # One desktop for every test: the AT-SPI library keeps the bus it first connected to.
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.dir.cleanup)
        cls.desktop = Desktop(cls.dir.name)
        cls.addClassCleanup(cls.desktop.stop)
        os.environ.update({k: cls.desktop.env[k] for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                                                           "AT_SPI_BUS_ADDRESS")})
        global pyatspi
        import pyatspi  # reads the bus address from the environment as it loads
        from gi.repository import GLib
        cls.context = GLib.MainContext.default()
        cls.SPOKEN = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_LABEL,
                      pyatspi.ROLE_STATIC, pyatspi.ROLE_HEADING, pyatspi.ROLE_NOTIFICATION}
        # Listening before the application starts: it learns what is listened to as it registers.
        cls.events = []
        kinds = ("object:state-changed:showing", "object:property-change:accessible-name")
        pyatspi.Registry.registerEventListener(cls.heard, *kinds)
        cls.addClassCleanup(pyatspi.Registry.deregisterEventListener, cls.heard, *kinds)

    def setUp(self):
        del self.events[:]
        self.feed = None
        home = tempfile.mkdtemp(dir=self.dir.name)
        config = os.path.join(home, "config", "glintward")
        os.makedirs(config)
        with open(os.path.join(config, "defaults.json"), "w") as f:
            f.write('{"GlintwardAutoStart": true}')
        runtime = os.path.join(home, "run")
        os.makedirs(runtime, mode=0o700)
        self.feed_path = os.path.join(home, "feed")
        os.mkfifo(self.feed_path)
        # The application finds the AT-SPI bus, and that a screen reader runs, as it would on a desktop:
        # through the session bus (Qt 6.4 neither joins a bus named by AT_SPI_BUS_ADDRESS, nor shows itself
        # on the offscreen platform).
        env = {k: v for k, v in self.desktop.env.items()
               if k not in ("AT_SPI_BUS_ADDRESS", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON")}
        env.update(XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_RUNTIME_DIR=runtime,
                   GLINTWARD_REPLAY=self.feed_path, QT_QPA_PLATFORM="xcb")
        self.app = subprocess.Popen([APP], env=env, stdin=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(self.stop_app)
        # The feed opens once the application reads it, which it does from its first scan on.
        self.feed = wait_until(self.open_feed, 20, step=0.1)
        self.assertTrue(self.feed, "the application never opened its replay feed")
        os.write(self.feed, Capture.header())

    @classmethod
    def heard(cls, event):
        try:
            cls.events.append((event.type, event.detail1, event.source.getRoleName(), event.source.name))
        except Exception as e:  # an object gone by the time it is asked
            cls.events.append((event.type, event.detail1, "", repr(e)))

    def open_feed(self):
        try:
            return os.open(self.feed_path, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:
            return None

    def stop_app(self):
        if self.feed:
            os.close(self.feed)
        if self.app.poll() is None:
            self.app.terminate()
            try:
                self.app.wait(5)
            except subprocess.TimeoutExpired:
                self.app.kill()
                self.app.wait(5)

    def pump(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if not self.context.iteration(False):
                time.sleep(0.01)

    def application(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == self.app.pid:
                return app
        return None

    def reading_order(self, accessible, out=None):
        """What a screen reader reads, in its order: each object in sight that says something (a hidden one,
        or one scrolled out of the panel, is not visible)."""
        if out is None:
            out = []
        role = accessible.getRole()
        if role in self.SPOKEN and accessible.getState().contains(pyatspi.STATE_VISIBLE):
            out.append((accessible.getRoleName(), accessible.name))
        for i in range(accessible.childCount):
            child = accessible.getChildAtIndex(i)
            if child is not None:
                self.reading_order(child, out)
        return out

    def panel(self):
        app = self.application()
        return app.getChildAtIndex(0) if app is not None and app.childCount else None

    def hear(self, devices, seconds=3, rate=5):
        """Writes `seconds` of reports from each (address, name, rssi), `rate` a second each."""
        step = 1000000 // (rate * len(devices))
        records = [Capture.report(*devices[i % len(devices)], at_us=i * step)
                   for i in range(seconds * rate * len(devices))]
        os.write(self.feed, b"".join(records))

    def wait_for_tree(self, condition, timeout=20):
        """The panel's reading order once `condition` holds for it (the last one read when it never does)."""
        seen = []

        def check():
            panel = self.panel()
            seen[:] = self.reading_order(panel) if panel is not None else []
            return condition(seen)

        wait_until(check, timeout, step=0.1, pump=self.pump)
        return seen

    # Scanning from the start, nothing heard yet.
    QUIET = [
        ("push button", "SETTINGS"),
        ("label", "All clear"),
        ("label", "Quiet isn't a guarantee: glasses mostly announce themselves when powering on or pairing."),
        ("push button", "Stop scanning"),
        ("push button", "Quit Glintward"),
        ("heading", "Session log: 0"),
        ("label", "Session log is empty"),
        ("label", "Nothing heard yet this session. Devices appear here the moment a matching signal arrives."),
    ]

    def test_the_radar_page_reads_in_order_and_says_a_new_status_at_once(self):
        quiet = self.wait_for_tree(lambda tree: tree == self.QUIET)
        self.assertEqual(quiet, self.QUIET)

        # A pair of glasses comes near: the title changes while the focus stays where it was.
        del self.events[:]
        self.hear([("AA:BB:CC:00:00:01", "Ray-Ban Meta 0A1B", -55)])
        likely = "Smart glasses likely nearby"
        announced = ("object:state-changed:showing", 1, "notification", likely)
        renamed = ("object:property-change:accessible-name", 0, "label", likely)
        wait_until(lambda: announced in self.events and renamed in self.events, 20, pump=self.pump)
        self.assertIn(announced, self.events, "the new status was not announced")
        self.assertIn(renamed, self.events, "the title did not say that its name changed")
        # Once, however many states the same title stood for.
        self.assertEqual(self.events.count(announced), 1, self.events)

        proximity = r"(Very close|In the room|Further away) \(~\d+\.\d m\)"
        expected = [
            ("push button", "SETTINGS"),
            ("label", likely),
            ("label", "A detection isn't proof of recording \u2014 it means a matching signal is nearby\\."),
            ("push button", "Stop scanning"),
            ("push button", "Quit Glintward"),
            ("heading", "Nearby: 1"),
            ("label", "Ray-Ban Meta glasses"),
            ("label", "Meta / Ray-Ban"),
            ("push button", "Mute"),
            ("label", proximity),
            ("label", r"-5\d dBm"),
            ("heading", "Session log: 1"),
            ("label", "Ray-Ban Meta glasses"),
            ("label", r"First seen \S+ \u00b7 last \S+ \u00b7 peak -5\d dBm"),
        ]
        # The page is taller than the panel: its top is read first, and the rest once scrolled to its end.
        top = self.wait_for_tree(lambda tree: self.matches(tree, expected[:len(tree)]) and len(tree) >= 11)
        self.assertTrue(self.matches(top, expected[:len(top)]), top)
        self.key("End")
        bottom = self.wait_for_tree(lambda tree: self.matches(tree, expected[-len(tree):]) and len(tree) >= 2
                                    and len(top) + len(tree) >= len(expected))
        self.assertTrue(self.matches(bottom, expected[-len(bottom):]), bottom)
        self.assertGreaterEqual(len(top) + len(bottom), len(expected), (top, bottom))

        # Stopped by a screen reader's press (once: twice would scan on), the title says so at once too.
        self.key("Home")
        button = pyatspi.utils.findDescendant(
            self.panel(), lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "Stop scanning")
        button.queryAction().doAction(0)
        # The button turns at the press, the title with the stopped state a frame later: wait for both.
        stopped = self.wait_for_tree(
            lambda tree: ("push button", "Start scanning") in tree and tree[1:2] == [("label", "Radar off")])
        self.assertIn(("push button", "Start scanning"), stopped)
        self.assertEqual(stopped[1:2], [("label", "Radar off")])
        off = ("object:state-changed:showing", 1, "notification", "Radar off")
        wait_until(lambda: off in self.events, 20, pump=self.pump)
        self.assertIn(off, self.events, "stopping was not announced")

    def test_the_settings_page_reads_its_headings_in_order_and_a_new_status_is_said_there_too(self):
        self.wait_for_tree(lambda tree: tree == self.QUIET)
        # Pressed as a screen reader presses it.
        button = pyatspi.utils.findDescendant(
            self.panel(), lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "SETTINGS")
        button.queryAction().doAction(0)

        def headings(tree):
            return [name for role, name in tree if role == "heading"]

        shown = ["SETTINGS", "Detection library: built-in", "Behavior"]
        tree = self.wait_for_tree(lambda tree: headings(tree) == shown)
        self.assertEqual(headings(tree), shown)
        # Each heading stands before what it heads; the signatures between are the catalogue's.
        self.assertEqual(tree[:3], [("heading", "SETTINGS"), ("push button", "Done"),
                                    ("heading", "Detection library: built-in")])
        unknown = tree.index(("check box", "Unknown camera-capable IDs"))
        self.assertEqual(tree[unknown + 1:unknown + 4], [("heading", "Behavior"),
                                                          ("push button", "Alert threshold: In the room"),
                                                          ("check box", "Haptic alerts")])

        # The title is not on this page, but what it says still reaches the user.
        del self.events[:]
        self.hear([("AA:BB:CC:00:00:01", "Ray-Ban Meta 0A1B", -55)])
        announced = ("object:state-changed:showing", 1, "notification", "Smart glasses likely nearby")
        wait_until(lambda: announced in self.events, 20, pump=self.pump)
        self.assertIn(announced, self.events, "the new status was not announced")

    @staticmethod
    def matches(tree, expected):
        """Whether each (role, name) read is the expected role with a name the expected pattern matches."""
        import re
        return len(tree) == len(expected) and all(
            role == want_role and re.fullmatch(pattern, name.replace("\u00a0", " "))
            for (role, name), (want_role, pattern) in zip(tree, expected))

    def key(self, name):
        """Presses a key in the panel, as the user would."""
        subprocess.run(["xdotool", "search", "--name", "^Glintward$", "windowfocus", "--sync", "key", name],
                       env=self.desktop.env, check=True, timeout=10)


if __name__ == "__main__":
    APP = sys.argv.pop(1)
    unittest.main()
