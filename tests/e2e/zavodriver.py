"""Drives Zavo Keyer the way an operator does, for the end-to-end tests and
the screenshots: the real program in a private X server (Xvfb), keys from
xdotool, the chip simulator on a pseudo-terminal, and the program read through
the accessibility bus (AT-SPI) as a screen reader reads it. Each run has a
D-Bus session of its own. Needs Debian's /usr/bin/python3, where pyatspi imports."""

import ctypes
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

import pyatspi
from gi.repository import GLib

MAIN_TITLE = " Zavo Keyer by Vardel"
SETTINGS_TITLE = "Winkey  Settings"
EDITOR_TITLE = "Message Editor"
ABOUT_TITLE = "About Zavo Keyer"
HELP_TITLE = "Zavo Keyer Help"
CHOOSER_TITLE = "Zavo Keyer - Keyer Port"
BOX_TITLE = "Zavo Keyer"
ONLINE = "Winkey Online - Firmware Rev.23"

# Roles an operator works or reads; each must say what it is and what it does.
CONTROL_ROLES = {"push button", "toggle button", "check box", "radio button", "combo box", "list",
                 "text", "entry", "password text", "spin button", "slider", "status bar"}


class Failure(AssertionError):
    """A check of the program's behaviour did not hold."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def first(items, predicate):
    """The first item the predicate holds for, passing over objects that vanish while asked."""
    for item in items:
        try:
            if predicate(item):
                return item
        except Exception:
            continue


def mark():
    """Now, on the clock of the simulator's log (CLOCK_MONOTONIC, ms)."""
    return time.clock_gettime(time.CLOCK_MONOTONIC) * 1000.0


def end(proc):
    """SIGTERM, and SIGKILL for a process that has not ended 10 s later."""
    if proc is not None and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def free_udp_port():
    """A UDP port on 127.0.0.1 that nothing holds just now."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def to_cwdaemon(port, datagram):
    """A request as a logger sends it to the program's cwdaemon port."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.sendto(datagram, ("127.0.0.1", port))


def on_private_bus():
    """Runs this script again, once, in a D-Bus session and runtime folder of its own."""
    if os.environ.get("ZAVO_E2E_PRIVATE_BUS") == "1":
        import atexit
        atexit.register(shutil.rmtree, os.environ["XDG_RUNTIME_DIR"], True)
        return
    env = {k: v for k, v in os.environ.items() if k not in (
        "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY")}
    env["ZAVO_E2E_PRIVATE_BUS"] = "1"
    env["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="zavo-e2e-runtime-")
    os.execvpe("dbus-run-session", ["dbus-run-session", "--", sys.executable, *sys.argv], env)


class Simulator:
    """zavokeyer-sim on a pty, stdin open for commands, its log to read."""

    def __init__(self, exe, folder, args=(), link=None):
        self.link = link or os.path.join(folder, "winkey")
        self.log_path = os.path.join(folder, "sim.log")
        self.err_path = os.path.join(folder, "sim.err")
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([exe, "--link", self.link, "--log", self.log_path, "--quiet",
                                          *args], stdin=subprocess.PIPE, stdout=err, stderr=err)

    def ready(self):
        with open(self.err_path, errors="replace") as f:  # "ready LINK -> DEVICE" once the link is up
            return any(line.startswith("ready ") for line in f)

    def command(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def entries(self, after=0.0):
        """(t in ms, kind, rest) for each log line after a mark."""
        try:
            with open(self.log_path, encoding="latin-1") as f:
                rows = [line.rstrip("\n").split(" ", 2) + [""] for line in f]
        except FileNotFoundError:
            return []
        return [(float(r[0]), r[1], r[2]) for r in rows if len(r) >= 3 and float(r[0]) > after]

    def received(self, after=0.0):
        """Every byte the chip read after a mark, in order."""
        return b"".join(bytes.fromhex(rest) for _, kind, rest in self.entries(after) if kind == "in")

    def events(self, after=0.0):
        return [rest for _, kind, rest in self.entries(after) if kind == "event"]


class XServer:
    """A private Xvfb on a display number it picks itself, and xdotool on it.
    No window manager runs: nothing frames, places or focuses a window."""

    def __init__(self, folder):
        read_end, write_end = os.pipe()
        with open(os.path.join(folder, "xvfb.log"), "wb") as log:
            self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                          "1024x768x24", "-nolisten", "tcp", "-noreset"],
                                         pass_fds=[write_end], stdout=log, stderr=log)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:  # Xvfb writes its display number once it listens
            number = pipe.readline().strip() if select.select([pipe], [], [], 30)[0] else ""
        check(number.isdigit(), "Xvfb did not start (see xvfb.log)")
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display)

    def xdotool(self, *args, check_rc=True):
        result = subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True,
                                text=True, timeout=30)
        check(result.returncode == 0 or not check_rc,
              f"xdotool {' '.join(map(str, args))} failed: {result.stderr.strip()}")
        return result.stdout

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def type(self, text):
        self.xdotool("type", "--delay", 60, text)

    def close_window(self, window):
        """Sends WM_DELETE_WINDOW, as a window manager does on Alt+F4 or the close box."""
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                        ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]

        display = ctypes.c_void_p(x11.XOpenDisplay(self.display.encode()))
        check(display.value, f"cannot open display {self.display}")
        event = ClientMessage(type=33, window=window, format=32,  # 33: ClientMessage
                              message_type=x11.XInternAtom(display, b"WM_PROTOCOLS", 0))
        event.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
        x11.XCloseDisplay(display)  # flushes

    def screenshot(self, window, path):
        """The window's own pixels (no frame: no window manager)."""
        x, y, w, h = self.geometry(window)
        subprocess.run(["import", "-silent", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}",
                        "+repage", "-strip", path], env=self.env, check=True, timeout=60)


class ScreenReader:
    """Reads the program through AT-SPI and, as a screen reader does, reads a
    name as soon as it changes (Qt's event carries no text)."""

    def __init__(self):
        self.heard = []  # (time, object path, name read when the event came)
        pyatspi.Registry.registerEventListener(self._on_name, "object:property-change:accessible-name")
        pyatspi.Registry.getDesktop(0).childCount  # brings the bus up before any program looks

    def _on_name(self, event):
        try:
            event.source.clear_cache()
            self.heard.append((mark(), event.source.path, event.source.name))
        except Exception as error:  # a vanished object
            self.heard.append((mark(), None, f"<unreadable: {error}>"))

    def application(self, pid):
        desktop = pyatspi.Registry.getDesktop(0)
        desktop.clear_cache()  # programs come and go between looks
        return first(self.children(desktop), lambda app: app.get_process_id() == pid)

    @staticmethod
    def name(acc):
        acc.clear_cache()
        return acc.name

    @staticmethod
    def children(acc):
        return [c for c in (acc.getChildAtIndex(i) for i in range(acc.childCount)) if c is not None]

    def walk(self, acc):
        yield acc
        for child in self.children(acc):
            yield from self.walk(child)

    def focused(self, root):
        return first(self.walk(root), lambda a: a.getState().contains(pyatspi.STATE_FOCUSED))

    def describe(self, acc):
        try:
            return f"[{acc.getRoleName()}] {self.name(acc)!r}"
        except Exception:
            return "<gone>"

    def audit(self, root):
        """Controls and panels without a name or a description, and combo boxes
        labelled by nothing (Qt names a closed one by its entry)."""
        problems = []
        for acc in self.walk(root):
            try:
                role = acc.getRoleName()
                in_status_bar = acc.parent is not None and acc.parent.getRoleName() == "status bar"
                if role in CONTROL_ROLES or in_status_bar or (role == "panel" and acc.childCount):
                    if not self.name(acc).strip():
                        problems.append(f"{self.describe(acc)} has no accessible name")
                    if not acc.description.strip():
                        problems.append(f"{self.describe(acc)} has no accessible description")
                if role == "combo box" and not any(
                        self.name(r.getTarget(i)).strip() for r in acc.getRelationSet()
                        if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                        for i in range(r.getNTargets())):
                    problems.append(f"{self.describe(acc)} is labelled by nothing")
            except Exception as error:
                problems.append(f"unreadable object: {error}")
        return problems

    def dump(self, root, depth=1):
        lines = ["  " * depth + f"{self.describe(root)} desc={getattr(root, 'description', '')!r}"]
        try:
            for child in self.children(root):
                lines += self.dump(child, depth + 1)
        except Exception:
            pass
        return lines


class Session:
    """One scenario's world: a folder, the simulator, an X server, the
    accessibility bus, a settings store, and the program run in it."""

    def __init__(self, app_exe, sim_exe, name="run"):
        self.app_exe, self.sim_exe, self.name = app_exe, sim_exe, name
        self.folder = tempfile.mkdtemp(prefix=f"zavo-e2e-{name}-")
        self.config_home = os.path.join(self.folder, "config")
        self.store = os.path.join(self.config_home, "Vardel Zavo Keyer.conf")
        os.makedirs(self.config_home)
        self.reader = ScreenReader()
        self.x = XServer(self.folder)
        self.sim = self.app = None
        self.runs = 0

    def stored(self, section, key):
        """A value in the program's settings file (QSettings INI)."""
        current = None
        with open(self.store, encoding="utf-8") as f:
            for line in f.read().splitlines():
                if line.startswith("[") and line.endswith("]"):
                    current = urllib.parse.unquote(line[1:-1])
                elif current == section and line.partition("=")[0] == key:
                    value = line.partition("=")[2]
                    return re.sub(r'\\(.)', r'\1', value[1:-1]) if value[:1] == '"' else value

    def wait_until(self, predicate, timeout, what):
        """Waits in the GLib main loop, where AT-SPI events are delivered."""
        deadline = time.monotonic() + timeout
        while not (value := predicate()):
            check(time.monotonic() < deadline, f"timed out after {timeout:g} s waiting for {what}")
            GLib.timeout_add(50, lambda: False)  # wakes the loop to look again
            GLib.MainContext.default().iteration(True)
        return value

    def pause(self, seconds):
        until = time.monotonic() + seconds
        self.wait_until(lambda: time.monotonic() >= until, seconds + 1, "a pause")

    def start_sim(self, *args, link=None):
        self.sim = Simulator(self.sim_exe, self.folder, args, link)
        self.wait_until(lambda: self.sim.ready() or self.sim.proc.poll() is not None, 30,
                        "the simulator's ready line")
        check(self.sim.proc.poll() is None, "the simulator ended at start-up")

    def launch(self, *options, first_run_port=True):
        self.runs += 1
        env = dict(self.x.env, XDG_CONFIG_HOME=self.config_home, QT_QPA_PLATFORM="xcb",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1",
                   QT_LOGGING_RULES="qt.qpa.*=false")
        args = [self.app_exe, *options] + (["--first-run-port", self.sim.link] if first_run_port else [])
        with open(os.path.join(self.folder, f"app-{self.runs}.log"), "wb") as log:
            self.app = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                        stderr=subprocess.STDOUT)

    def start_online(self, *options, first_run_port=True):
        """Starts the program and waits until it is online. A start that does
        not come up is tried once more: this shared machine can stall past
        the 2 s the program gives the chip. A fault of the program fails both."""
        for attempt in (1, 2):
            self.launch(*options, first_run_port=first_run_port)
            try:
                return self.wait_online(timeout=40 * attempt)
            except Failure as failure:
                if attempt == 2:
                    raise
                print(f"NOTE: start 1 did not come up ({failure}); starting again.\n" + self.diagnostics())
                end(self.app)

    def windows(self, title):
        """The program's visible X windows with exactly this title."""
        out = self.x.xdotool("search", "--onlyvisible", "--all", "--pid", self.app.pid,
                             "--name", "^" + re.escape(title) + "$", check_rc=False)
        return [int(w) for w in out.split()]

    def wait_window(self, title, timeout=30):
        """The window's accessible object once it shows, and its X window,
        whose title must be what the window manager reads too."""
        def found():
            check(self.app.poll() is None, f"the program ended (exit code {self.app.returncode})")
            app = self.reader.application(self.app.pid)
            acc = app and first(self.reader.children(app), lambda w: self.reader.name(w) == title
                                and w.getState().contains(pyatspi.STATE_SHOWING))
            wins = self.windows(title) if acc else []
            return (acc, wins[0]) if wins else None
        acc, win = self.wait_until(found, timeout, f"the window {title!r}")
        shown = self.x.xdotool("getwindowname", win).rstrip("\n")
        check(shown == title, f"the window manager reads the title {shown!r}, not {title!r}")
        return acc, win

    def wait_gone(self, title, timeout=20):
        self.wait_until(lambda: not self.windows(title), timeout, f"the window {title!r} to close")

    def wait_online(self, timeout=40):
        """Waits for the main window, online, with the start-up done."""
        self.main, self.main_window = self.wait_window(MAIN_TITLE, timeout)
        bar = self.wait_until(lambda: first(self.reader.walk(self.main),
                              lambda a: a.getRoleName() == "status bar"), 10, "the status bar")
        # Kept: while the program blocks, its tree cannot be asked for them.
        self.panels = self.wait_until(
            lambda: self.reader.children(bar) if bar.childCount == 3 else None, 10, "three panels")
        self.wait_until(lambda: self.panel_name(1) == ONLINE, timeout, f"panel 1 to read {ONLINE!r}")
        # The knob's answer, the last of the start-up, shows in panel 3.
        self.wait_until(lambda: self.panel_name(3).endswith(" WPM"), timeout, "the speed")

    def place(self):
        """Where the main window is: x, y."""
        return self.x.geometry(self.main_window)[:2]

    def move(self, x, y):
        self.x.xdotool("windowmove", "--sync", self.main_window, x, y)
        self.wait_until(lambda: self.place() == (x, y), 10, f"the window to move to {x}, {y}")

    def panel_name(self, n):
        return self.reader.name(self.panels[n - 1])

    def heard(self, n, since):
        """Names a screen reader read for panel n after a mark."""
        return [name for t, p, name in self.reader.heard if p == self.panels[n - 1].path and t > since]

    def wait_sim_event(self, text, since, timeout=20):
        self.wait_until(lambda: any(e.startswith(text) for e in self.sim.events(since)),
                        timeout, f"the simulator event {text!r}")

    def keys(self, *keys, window=None):
        """Keys to a window, the main one unless told."""
        self.x.xdotool("windowfocus", "--sync", window or self.main_window)
        self.x.xdotool("key", "--delay", 60, *keys)

    def focused_name(self, root):
        return self.reader.name(self.wait_until(lambda: self.reader.focused(root), 10, "a focused control"))

    def diagnostics(self):
        lines = [f"folder: {self.folder}"]
        app = self.reader.application(self.app.pid) if self.app and self.app.poll() is None else None
        lines += ["accessible tree:"] + self.reader.dump(app) if app else []
        lines.append("heard: " + repr([(p and p[-4:], n) for _, p, n in self.reader.heard][-30:]))
        lines += ["simulator log (last 40 lines):"] + [
            f"  {t:.1f} {k} {r}" for t, k, r in self.sim.entries()[-40:]] if self.sim else []
        for i in range(1, self.runs + 1):
            with open(os.path.join(self.folder, f"app-{i}.log"), errors="replace") as f:
                lines += [f"program output (run {i}):"] + ["  " + s for s in f.read().splitlines()[-20:]]
        return "\n".join(lines)

    def stop(self, keep_in=None):
        """Ends everything; a failed run's folder is copied to keep_in."""
        if keep_in:
            if self.app is not None and (wins := self.windows(MAIN_TITLE)):
                self.x.screenshot(wins[0], os.path.join(self.folder, "main-at-failure.png"))
            target = os.path.join(keep_in, self.name)
            shutil.rmtree(target, ignore_errors=True)
            shutil.copytree(self.folder, target, ignore=shutil.ignore_patterns("winkey"))
            print(f"evidence kept in {target}")
        for proc in (self.app, self.sim and self.sim.proc, self.x.proc):
            end(proc)
        shutil.rmtree(self.folder, ignore_errors=True)
