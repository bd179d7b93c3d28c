"""Drives Zavo Keyer the way an operator does, for the end-to-end tests and
the screenshots: the real program in a private X server (Xvfb), real key
presses and mouse clicks from xdotool, the chip simulator on a
pseudo-terminal, and the program read through the accessibility bus (AT-SPI,
pyatspi) the way a screen reader reads it.

Every run lives on a D-Bus session of its own (dbus-run-session): the
accessibility bus a scenario talks to is then the program's and nobody
else's. Needs Debian's /usr/bin/python3, where pyatspi imports.
"""

import atexit
import ctypes
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse

MAIN_TITLE = " Zavo Keyer by Vardel"
SETTINGS_TITLE = "Winkey  Settings"
EDITOR_TITLE = "Message Editor"
ABOUT_TITLE = "About Zavo Keyer"
HELP_TITLE = "Zavo Keyer Help"
CHOOSER_TITLE = "Zavo Keyer - Keyer Port"
ONLINE = "Winkey Online - Firmware Rev.23"

# Roles an operator works or reads; each must say what it is and what it does.
CONTROL_ROLES = {"push button", "toggle button", "check box", "radio button", "combo box",
                 "list", "text", "entry", "password text", "spin button", "slider",
                 "status bar"}

_BUS_MARK = "ZAVO_E2E_PRIVATE_BUS"
_RUNTIME_MARK = "ZAVO_E2E_RUNTIME_DIR"


class Failure(AssertionError):
    """A check of the program's behaviour did not hold."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def on_private_bus():
    """Runs this script again inside a D-Bus session of its own, once.

    Whatever desktop the tests are started from keeps its own buses and
    display: none of their addresses reach the run."""
    if os.environ.get(_BUS_MARK) == "1":
        runtime = os.environ.get(_RUNTIME_MARK)
        if runtime:
            atexit.register(shutil.rmtree, runtime, True)
        return
    env = dict(os.environ)
    for name in ("DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY",
                 "XAUTHORITY"):
        env.pop(name, None)
    env[_BUS_MARK] = "1"
    # The accessibility bus's socket goes into the runtime folder under a
    # fixed name: runs side by side (ctest -j) would take over each other's.
    env["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="zavo-e2e-runtime-")
    env[_RUNTIME_MARK] = env["XDG_RUNTIME_DIR"]
    dbus_run = shutil.which("dbus-run-session")
    if not dbus_run:
        sys.exit("dbus-run-session is missing (Debian package dbus)")
    os.execve(dbus_run, [dbus_run, "--", sys.executable, *sys.argv], env)


class Loop:
    """Waits in the GLib main loop, where AT-SPI events are delivered."""

    def __init__(self):
        from gi.repository import GLib
        self._glib = GLib
        self._context = GLib.MainContext.default()

    def wait_until(self, predicate, timeout, what, step_ms=50):
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value:
                return value
            if time.monotonic() >= deadline:
                raise Failure(f"timed out after {timeout:g} s waiting for {what}")
            # The timer wakes the loop to look again; an event wakes it sooner.
            self._glib.timeout_add(step_ms, lambda: False)
            self._context.iteration(True)

    def pause(self, seconds):
        """Lets events arrive for a while, where nothing tells that a step
        is done (a window painted before its picture is taken)."""
        end = time.monotonic() + seconds
        self.wait_until(lambda: time.monotonic() >= end, seconds + 1, "a pause")


class Simulator:
    """zavokeyer-sim on a pty, with stdin open for commands and a log to read."""

    def __init__(self, exe, folder, args=(), link=None):
        self.link = link or os.path.join(folder, "winkey")
        self.log_path = os.path.join(folder, "sim.log")
        self.err_path = os.path.join(folder, "sim.err")
        self._out = open(os.path.join(folder, "sim.out"), "wb")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(
            [exe, "--link", self.link, "--log", self.log_path, "--quiet", *args],
            stdin=subprocess.PIPE, stdout=self._out, stderr=self._err)

    def ready_count(self):
        try:
            with open(self.err_path, encoding="utf-8", errors="replace") as f:
                return sum(1 for line in f if line.startswith("ready "))
        except FileNotFoundError:
            return 0

    def command(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def entries(self):
        """(t in ms, kind, rest) for each log line, t on CLOCK_MONOTONIC."""
        rows = []
        try:
            with open(self.log_path, encoding="latin-1") as f:
                for line in f:
                    parts = line.rstrip("\n").split(" ", 2)
                    if len(parts) >= 2:
                        rows.append((float(parts[0]), parts[1], parts[2] if len(parts) > 2 else ""))
        except FileNotFoundError:
            pass
        return rows

    def received(self, after=0.0):
        """Every byte the chip read after the given mark, in order."""
        data = bytearray()
        for t, kind, rest in self.entries():
            if kind == "in" and t > after and rest:
                data += bytes.fromhex(rest)
        return bytes(data)

    def sent(self, after=0.0):
        data = bytearray()
        for t, kind, rest in self.entries():
            if kind == "out" and t > after and rest:
                data += bytes.fromhex(rest)
        return bytes(data)

    def events(self, after=0.0):
        return [rest for t, kind, rest in self.entries() if kind == "event" and t > after]

    def keyed(self, after=0.0):
        return "".join(rest[:1] if rest else " " for t, kind, rest in self.entries()
                       if kind == "key" and t > after)

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.command("quit")
                self.proc.stdin.close()
                self.proc.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self._out.close()
        self._err.close()


def mark():
    """Now, on the clock of the simulator's log (CLOCK_MONOTONIC, ms)."""
    return time.clock_gettime(time.CLOCK_MONOTONIC) * 1000.0


class XServer:
    """A private Xvfb on a display number it picks itself, and xdotool on it."""

    def __init__(self, folder, size="1024x768x24"):
        read_end, write_end = os.pipe()
        self._log = open(os.path.join(folder, "xvfb.log"), "wb")
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-nolisten", "tcp",
             "-noreset"],
            pass_fds=[write_end], stdout=self._log, stderr=subprocess.STDOUT)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            ready, _, _ = select.select([read_end], [], [], max(left, 0))
            if not ready:
                break
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            self.proc.kill()
            raise Failure("Xvfb did not start (see xvfb.log)")
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display)

    def xdotool(self, *args, check_rc=True):
        result = subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True,
                                text=True, timeout=30)
        if check_rc and result.returncode != 0:
            raise Failure(f"xdotool {' '.join(map(str, args))} failed: {result.stderr.strip()}")
        return result.stdout

    def windows(self, title, pid=None):
        """Visible windows whose title is exactly the given one."""
        args = ["search", "--onlyvisible"]
        if pid:
            args += ["--all", "--pid", pid]  # criteria are or'ed without --all
        args += ["--name", "^" + re.escape(title) + "$"]
        return [int(w) for w in self.xdotool(*args, check_rc=False).split()]

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def focus(self, window):
        # With no window manager, windowactivate has nobody to ask.
        self.xdotool("windowfocus", "--sync", window)

    def focused(self):
        return int(self.xdotool("getwindowfocus", "-f").strip() or 0)

    def key(self, *keys):
        self.xdotool("key", "--delay", 60, *keys)

    def type(self, text):
        self.xdotool("type", "--delay", 60, text)

    # No --sync on the moves: it waits for motion that never comes when the
    # pointer is there already, and the server keeps the order anyway.
    def click(self, x, y, button=1):
        self.xdotool("mousemove", x, y, "click", button)

    def press(self, x, y, button):
        self.xdotool("mousemove", x, y, "mousedown", button, "mouseup", button)

    def move_window(self, window, x, y):
        self.xdotool("windowmove", "--sync", window, x, y)

    def close_window(self, window):
        """What a window manager does on Alt+F4 or the close box: asks the
        program to close the window (WM_DELETE_WINDOW), never kills it."""
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                        ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

        class Event(ctypes.Union):
            _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

        display = x11.XOpenDisplay(self.display.encode())
        check(display, f"cannot open display {self.display}")
        try:
            event = Event()
            event.xclient.type = 33  # ClientMessage
            event.xclient.window = window
            event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
            event.xclient.format = 32
            event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
            event.xclient.data[1] = 0  # CurrentTime
            x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
            x11.XFlush(display)
        finally:
            x11.XCloseDisplay(display)

    def screenshot(self, window, path):
        """The window's own pixels, cropped to it (no frame: no window manager)."""
        x, y, w, h = self.geometry(window)
        subprocess.run(["import", "-silent", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}",
                        "+repage", "-strip", path], env=self.env, check=True, timeout=60)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()


class ScreenReader:
    """Reads the program through AT-SPI and hears what it announces.

    On each name change the name is read at once, as a screen reader does:
    Qt's event carries no text, so what is heard is what the program answers
    when asked."""

    def __init__(self, loop):
        import pyatspi
        self.pyatspi = pyatspi
        self.loop = loop
        self.heard = []  # (time, object path, name as read when the event came)
        pyatspi.Registry.registerEventListener(self._on_name,
                                               "object:property-change:accessible-name")
        # Brings the accessibility bus and its registry up now, before any
        # program looks for them.
        pyatspi.Registry.getDesktop(0).childCount

    def _on_name(self, event):
        try:
            source = event.source
            source.clear_cache()
            self.heard.append((mark(), source.path, source.name))
        except Exception as error:  # a vanished object: nothing to hear
            self.heard.append((mark(), None, f"<unreadable: {error}>"))

    def application(self, pid):
        desktop = self.pyatspi.Registry.getDesktop(0)
        desktop.clear_cache()  # programs come and go between looks
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                continue
        return None

    @staticmethod
    def name(acc):
        acc.clear_cache()
        return acc.name

    @staticmethod
    def role(acc):
        return acc.getRoleName()

    def children(self, acc):
        out = []
        for i in range(acc.childCount):
            child = acc.getChildAtIndex(i)
            if child is not None:
                out.append(child)
        return out

    def walk(self, acc):
        yield acc
        for child in self.children(acc):
            yield from self.walk(child)

    def find(self, root, role=None, name=None, description=None):
        for acc in self.walk(root):
            try:
                if role and acc.getRoleName() != role:
                    continue
                if name is not None and self.name(acc) != name:
                    continue
                if description is not None and acc.description != description:
                    continue
                return acc
            except Exception:
                continue
        return None

    def windows(self, app):
        return self.children(app) if app is not None else []

    def window(self, app, title):
        for w in self.windows(app):
            try:
                if self.name(w) == title and self.has_state(w, "showing"):
                    return w
            except Exception:
                continue
        return None

    def has_state(self, acc, state):
        wanted = getattr(self.pyatspi, "STATE_" + state.upper().replace(" ", "_"))
        return acc.getState().contains(wanted)

    def focused(self, root):
        for acc in self.walk(root):
            try:
                if self.has_state(acc, "focused"):
                    return acc
            except Exception:
                continue
        return None

    def centre(self, acc):
        x, y, w, h = acc.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        check(w > 0 and h > 0, f"{self.describe(acc)} has no area on screen")
        return x + w // 2, y + h // 2

    def labelled_by(self, acc):
        names = []
        for relation in acc.getRelationSet():
            if relation.getRelationType() == self.pyatspi.RELATION_LABELLED_BY:
                for i in range(relation.getNTargets()):
                    target = relation.getTarget(i)
                    if target is not None:
                        names.append(self.name(target))
        return names

    def describe(self, acc):
        try:
            return f"[{acc.getRoleName()}] {self.name(acc)!r}"
        except Exception:
            return "<gone>"

    def audit(self, root):
        """Controls and panels without a name or a description, or lists that
        say nothing of what they choose."""
        problems = []
        for acc in self.walk(root):
            try:
                role = acc.getRoleName()
                parent = acc.parent
                in_status_bar = parent is not None and parent.getRoleName() == "status bar"
                grouping = role == "panel" and acc.childCount > 0
                if role not in CONTROL_ROLES and not in_status_bar and not grouping:
                    continue
                name = self.name(acc).strip()
                if not name:
                    problems.append(f"{self.describe(acc)} has no accessible name")
                if not acc.description.strip():
                    problems.append(f"{self.describe(acc)} has no accessible description")
                # Qt gives a closed list its chosen entry as name; what the list
                # is for comes from the label it is tied to.
                if role == "combo box" and not any(n.strip() for n in self.labelled_by(acc)):
                    problems.append(f"{self.describe(acc)} is labelled by nothing")
            except Exception as error:
                problems.append(f"unreadable object: {error}")
        return problems

    def dump(self, root, depth=0):
        try:
            lines = ["  " * depth + f"{self.describe(root)} desc={root.description!r}"]
            for child in self.children(root):
                lines += self.dump(child, depth + 1)
            return lines
        except Exception:
            return ["  " * depth + "<gone>"]

    def heard_since(self, path, since):
        return [name for t, p, name in self.heard if p == path and t > since]


class Store:
    """The program's settings file (QSettings INI) as plain text to check."""

    def __init__(self, config_home):
        self.path = os.path.join(config_home, "Vardel Zavo Keyer.conf")

    def exists(self):
        return os.path.exists(self.path)

    def read(self):
        sections = {}
        current = None
        with open(self.path, encoding="utf-8") as f:
            for line in f:
                line = line.rstrip("\n")
                if line.startswith("[") and line.endswith("]"):
                    current = sections.setdefault(urllib.parse.unquote(line[1:-1]), {})
                elif "=" in line and current is not None:
                    key, value = line.split("=", 1)
                    if len(value) >= 2 and value.startswith('"') and value.endswith('"'):
                        value = re.sub(r'\\(.)', r'\1', value[1:-1])
                    current[urllib.parse.unquote(key)] = value
        return sections

    def value(self, section, key):
        return self.read().get(section, {}).get(key)


class Session:
    """One scenario's world: a folder, the simulator, an X server, the
    accessibility bus, a settings store, and the program run in it."""

    def __init__(self, app_exe, sim_exe, artifacts=None, name="run"):
        self.app_exe = app_exe
        self.sim_exe = sim_exe
        self.artifacts = artifacts
        self.name = name
        self.folder = tempfile.mkdtemp(prefix=f"zavo-e2e-{name}-")
        self.config_home = os.path.join(self.folder, "config")
        os.makedirs(self.config_home)
        self.store = Store(self.config_home)
        self.loop = Loop()
        self.reader = ScreenReader(self.loop)
        self.x = XServer(self.folder)
        self.sim = None
        self.app = None
        self._app_log = None
        self.launched_at = 0.0
        self.runs = 0

    # ---------------------------------------------------------------- set-up

    def start_sim(self, *args, link=None):
        self.sim = Simulator(self.sim_exe, self.folder, args, link)
        self.loop.wait_until(lambda: self.sim.ready_count() >= 1 or self.sim.proc.poll() is not None,
                             30, "the simulator's ready line")
        check(self.sim.proc.poll() is None, "the simulator ended at start-up")
        return self.sim

    def launch(self, first_run_port=True, extra_args=()):
        """Starts the program; returns at once (see wait_online)."""
        self.runs += 1
        env = dict(self.x.env)
        env.update(XDG_CONFIG_HOME=self.config_home,
                   QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   QT_ACCESSIBILITY="1", QT_LOGGING_RULES="qt.qpa.*=false")
        args = [self.app_exe]
        if first_run_port:
            args += ["--first-run-port", self.sim.link]
        args += list(extra_args)
        if self._app_log:
            self._app_log.close()
        self._app_log = open(os.path.join(self.folder, f"app-{self.runs}.log"), "wb")
        self.launched_at = mark()
        self.app = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                    stdout=self._app_log, stderr=subprocess.STDOUT)
        return self.app

    def start_online(self, first_run_port=True):
        """Starts the program and waits until it is online; returns the mark
        taken just before the start that came up.

        A start is tried a second time when the first did not come up: the
        machine these tests share can stall for seconds (the program then
        rightly reports that the chip did not answer within 2 s). What went
        wrong the first time is printed; a fault of the program fails both."""
        for attempt in (1, 2):
            self.launch(first_run_port)
            try:
                self.wait_online(timeout=40 if attempt == 1 else 60)
                return self.launched_at
            except Failure as failure:
                if attempt == 2:
                    raise
                print(f"NOTE: start 1 did not come up ({failure}); starting again.\n"
                      + self.diagnostics())
                self.end_program()
        raise AssertionError("not reached")

    def end_program(self):
        if self.app is not None and self.app.poll() is None:
            self.app.send_signal(signal.SIGTERM)
            try:
                self.app.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.app.kill()
                self.app.wait()

    def accessible_app(self):
        return self.loop.wait_until(lambda: self.reader.application(self.app.pid), 30,
                                    "the program on the accessibility bus")

    def wait_window(self, title, timeout=30):
        """The window's accessible object once it shows, and its X window."""
        def found():
            self.check_running()
            app = self.reader.application(self.app.pid)
            acc = self.reader.window(app, title) if app is not None else None
            wins = self.x.windows(title, self.app.pid) if acc is not None else []
            return (acc, wins[0]) if wins else None
        acc, win = self.loop.wait_until(found, timeout, f"the window {title!r}")
        # The title bar shows what the window manager reads, not what Qt says.
        shown = self.x.xdotool("getwindowname", win).rstrip("\n")
        check(shown == title, f"the window manager reads the title {shown!r}, not {title!r}")
        return acc, win

    def wait_gone(self, title, timeout=20):
        self.loop.wait_until(lambda: not self.x.windows(title, self.app.pid), timeout,
                             f"the window {title!r} to close")

    def wait_online(self, timeout=40):
        """Waits for the main window with the link up and the start-up done."""
        since = self.runs_mark = mark()
        self.main, self.main_window = self.wait_window(MAIN_TITLE, timeout)
        self.status_bar = self.loop.wait_until(
            lambda: self.reader.find(self.main, role="status bar"), 10, "the status bar")
        # Kept: while the program blocks, its tree cannot be asked for them.
        self.panels = self.loop.wait_until(
            lambda: self.reader.children(self.status_bar) if self.status_bar.childCount == 3
            else None, 10, "the three panels")
        self.loop.wait_until(lambda: self.panel_name(1) == ONLINE, timeout,
                             f"panel 1 to read {ONLINE!r}")
        # The last start-up byte asks for the knob; its answer ends the start-up.
        self.loop.wait_until(lambda: self.panel_name(3).endswith(" WPM"), timeout,
                             "the speed in panel 3")
        return since

    def check_running(self):
        if self.app is not None and self.app.poll() is not None:
            raise Failure(f"the program ended unexpectedly (exit code {self.app.returncode})")

    # ---------------------------------------------------------------- reading

    def panel(self, n):
        return self.panels[n - 1]

    def panel_name(self, n):
        return self.reader.name(self.panel(n))

    def button(self, name):
        acc = self.reader.find(self.main, role="push button", name=name)
        check(acc is not None, f"no button {name!r} in the main window")
        return acc

    def heard(self, n, since):
        """Names a screen reader read for panel n after a mark."""
        return self.reader.heard_since(self.panel(n).path, since)

    def wait_heard(self, n, text, since, timeout=20):
        self.loop.wait_until(lambda: text in self.heard(n, since), timeout,
                             f"panel {n} to announce {text!r} (heard: {self.heard(n, since)})")

    def wait_received(self, expected, since, timeout=20):
        self.loop.wait_until(lambda: self.sim.received(since) == expected, timeout,
                             f"the chip to receive {expected!r} "
                             f"(got {self.sim.received(since)!r})")

    def wait_sim_event(self, text, since, timeout=20):
        self.loop.wait_until(lambda: any(e.startswith(text) for e in self.sim.events(since)),
                             timeout, f"the simulator event {text!r}")

    # ---------------------------------------------------------------- acting

    def keys_to(self, window, *keys):
        self.x.focus(window)
        self.x.key(*keys)

    def keys(self, *keys):
        """Keys to the main window."""
        self.keys_to(self.main_window, *keys)

    def click(self, acc, button=1):
        x, y = self.reader.centre(acc)
        self.x.click(x, y, button)

    def right_press(self, acc):
        x, y = self.reader.centre(acc)
        self.x.press(x, y, 3)

    def close_main(self, timeout=30):
        self.x.close_window(self.main_window)
        try:
            self.app.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end when its window was closed")
        return self.app.returncode

    # ---------------------------------------------------------------- ending

    def diagnostics(self):
        lines = [f"folder: {self.folder}"]
        try:
            desktop = self.reader.pyatspi.Registry.getDesktop(0)
            desktop.clear_cache()
            apps = [(a.name, a.get_process_id()) for a in self.reader.children(desktop)]
            lines.append(f"programs on the accessibility bus: {apps}; ours: "
                         f"{self.app.pid if self.app else None}")
        except Exception as error:
            lines.append(f"accessibility bus unreadable: {error}")
        if self.app is not None and self.app.poll() is None:
            app = self.reader.application(self.app.pid)
            if app is not None:
                lines.append("accessible tree:")
                lines += self.reader.dump(app, 1)
        lines.append("heard: " + repr([(p and p[-4:], n) for _, p, n in self.reader.heard][-30:]))
        if self.sim is not None:
            lines.append("simulator log (last 40 lines):")
            lines += [f"  {t:.1f} {k} {r}" for t, k, r in self.sim.entries()[-40:]]
        for i in range(1, self.runs + 1):
            path = os.path.join(self.folder, f"app-{i}.log")
            if os.path.exists(path):
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read().strip()
                if text:
                    lines.append(f"program output (run {i}):")
                    lines += ["  " + line for line in text.splitlines()[-20:]]
        return "\n".join(lines)

    def keep_evidence(self):
        if not self.artifacts:
            return None
        os.makedirs(self.artifacts, exist_ok=True)
        target = os.path.join(self.artifacts, self.name)
        shutil.rmtree(target, ignore_errors=True)
        try:
            wins = self.x.windows(MAIN_TITLE)
            if wins:
                self.x.screenshot(wins[0], os.path.join(self.folder, "main-at-failure.png"))
        except Exception:
            pass
        shutil.copytree(self.folder, target, ignore=shutil.ignore_patterns("winkey"),
                        symlinks=True)
        return target

    def stop(self, keep=False):
        self.end_program()
        if self._app_log:
            self._app_log.close()
        if self.sim is not None:
            self.sim.stop()
        self.x.stop()
        if not keep:
            shutil.rmtree(self.folder, ignore_errors=True)
