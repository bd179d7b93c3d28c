"""End-to-end scenarios, each run by CTest as a test of its own.
Only what a real X server, a screen reader and a real process show; bytes,
texts and stored values belong to the window and link tests. A failure prints
the accessible tree and the logs, and keeps the run's folder in --artifacts."""

import argparse
import contextlib
import glob
import os
import subprocess
import sys
import time
import traceback

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import zavodriver as zd  # noqa: E402
from zavodriver import check  # noqa: E402

MESSAGE_1 = "CQ CQ CQ DE MYCALL MYCALL K"


def tab_to(s, window, root, role, name):
    """Tabs through a window until the focus is on the named control."""
    for _ in range(30):
        acc = s.wait_until(lambda: s.reader.focused(root), 10, "a focused control")
        if acc.getRoleName() == role and s.reader.name(acc) == name:
            return
        s.keys("Tab", window=window)
        s.wait_until(lambda: (s.reader.focused(root) or acc).path != acc.path, 10,
                     f"Tab to leave {s.reader.describe(acc)}")
    raise zd.Failure(f"Tab never reached [{role}] {name!r}")


def audited(s, title):
    """A window once it shows, checked that a screen reader can tell every
    control in it apart. (Its role is the window and dialog tests'.)"""
    acc, win = s.wait_window(title)
    problems = s.reader.audit(acc)
    check(not problems, f"accessibility gaps in {title!r}:\n  " + "\n  ".join(problems))
    return acc, win


def scenario_first_run_keyboard_only(s):
    """A first run used from the keyboard alone: the port chooser, Tab
    through the main window, each window opened with its key, worked with
    Tab, typing and Space; every window audited for a screen reader."""
    s.start_sim("--fast")
    s.launch(first_run_port=False)
    chooser, win = audited(s, zd.CHOOSER_TITLE)
    check(not os.path.exists(s.store), "the store was written before a port was chosen")
    on = s.wait_until(lambda: s.reader.focused(chooser), 10, "focus in the chooser")
    check(on.getRoleName() in ("text", "combo box"), f"the chooser opens on {s.reader.describe(on)}")
    s.keys("ctrl+a", window=win)
    s.x.type(s.sim.link)
    s.keys("Return", window=win)
    s.wait_online()
    check(s.stored("Parameters", "ComPort") == s.sim.link, "the chosen port was not stored")
    # The seed puts the window at 7920 x 6825 twips: 528 x 455 pixels.
    check(s.place() == (528, 455), f"the window opened at {s.place()}")
    audited(s, zd.MAIN_TITLE)
    for n, key in ((1, "Alt+H"), (2, "Alt+A"), (3, "Alt+S")):
        check(key in s.panels[n - 1].description, f"panel {n}'s description names no {key}")

    # Tab walks the buttons one at a time. It once moved twice: the key
    # preview let Tab through to the window as well.
    s.x.xdotool("windowfocus", "--sync", s.main_window)  # what a window manager does
    seen = [s.focused_name(s.main)]
    for _ in range(6):
        s.keys("Tab")
        s.wait_until(lambda: s.focused_name(s.main) != seen[-1], 10, "the focus to move")
        seen.append(s.focused_name(s.main))
    check(seen == ["Msg1", "Msg2", "Msg3", "Msg4", "Tune", "Msg5", "Msg1"], f"Tab visits {seen}")

    # Settings: type a speed, tick a box, Update.
    s.keys("alt+s")
    settings, win = audited(s, zd.SETTINGS_TITLE)
    check(s.focused_name(settings) == "Minimum Speed", "the settings open elsewhere")
    s.keys("ctrl+a", window=win)
    s.x.type("12")
    tab_to(s, win, settings, "check box", "CT Spacing")
    s.keys("space", window=win)
    tab_to(s, win, settings, "push button", "Update")
    since = zd.mark()
    s.keys("space", window=win)
    s.wait_gone(zd.SETTINGS_TITLE)
    s.wait_sim_event("block", since, timeout=30)
    got = [s.stored("Speed Settings", "MinSpeed"), s.stored("Parameters", "CTSpace")]
    check(got == ["12", "1"], f"MinSpeed, CTSpace stored as {got}")

    s.keys("alt+a")
    about, win = audited(s, zd.ABOUT_TITLE)
    check(s.focused_name(about) == "OK", "About opens with the focus off OK")
    s.keys("space", window=win)
    s.wait_gone(zd.ABOUT_TITLE)
    s.keys("alt+h")
    _, win = s.wait_window(zd.HELP_TITLE)
    s.x.close_window(win)  # Alt+F4 under a window manager
    s.wait_gone(zd.HELP_TITLE)

    # The menu key on the focused button (Msg1 again) opens its editor;
    # Tab and Space on Update store.
    s.keys("Menu")
    editor, win = audited(s, zd.EDITOR_TITLE)
    on = s.wait_until(lambda: s.reader.focused(editor), 10, "focus in the editor")
    check(on.getRoleName() == "text" and on.queryText().getText(0, -1) == MESSAGE_1,
          f"the editor opens on {s.reader.describe(on)}")
    s.keys("ctrl+a", window=win)
    s.x.type("tu 599")
    s.keys("Tab", window=win)
    s.wait_until(lambda: s.focused_name(editor) == "Update", 10, "Tab to Update")
    s.keys("space", window=win)
    s.wait_gone(zd.EDITOR_TITLE)
    check(s.stored("Messages", "Message1") == "TU 599", "Space on Update stored nothing")


def scenario_held_keys_under_load(s):
    """A key held down acts once, however busy the machine is: X repeats
    that reach the program as a separate release and press must not act again."""
    s.start_sim("--fast")
    s.start_online()
    burners = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
               for _ in range(os.cpu_count() or 2)]
    try:
        for key, expected in [("F2", b"5NN TU")] * 3 + [("F6", b"\x0b\x01"), ("F6", b"\x0b\x00")]:
            since = zd.mark()
            s.x.xdotool("windowfocus", "--sync", s.main_window)
            s.x.xdotool("keydown", key)
            s.pause(1.3)
            s.x.xdotool("keyup", key)
            s.pause(0.5)
            check(s.sim.received(since) == expected, f"{key} held for 1.3 s sent {s.sim.received(since)!r}")
    finally:
        for burner in burners:
            zd.end(burner)


def scenario_screen_reader_hears(s):
    """A screen reader hears the speed when the knob turns, "Aborted!"
    during Escape's pause (which holds input but must still answer it), and
    a blank panel 1 by its name; other texts reach it the same way."""
    s.start_sim()
    s.start_online()
    since = zd.mark()
    s.sim.command("pot 20")
    s.wait_until(lambda: "30 WPM" in s.heard(3, since), 20, "'30 WPM' to be heard in panel 3")
    since = zd.mark()
    s.keys("Escape")
    s.wait_until(lambda: s.panel_name(1) == "No status" and len(s.heard(1, since)) >= 2, 15,
                 "the abort to finish")
    check("Aborted!" in s.heard(1, since), f"a screen reader heard {s.heard(1, since)}")


def scenario_ends_and_restarts(s):
    """The process ends as the window manager and the system ask: the close
    box closes the port and stores where the window is, and the next start
    puts it there; SIGTERM closes the port, stores the place and frees the
    port's lock (what a close lets go of, tune and a logger's PTT, is the
    link's and tst_networkkeying's); a chip that never answers gets an alert,
    and OK ends the program."""
    s.start_sim()
    s.start_online()
    s.move(140, 300)
    since = zd.mark()
    s.x.close_window(s.main_window)
    check(s.app.wait(timeout=30) == 0, f"the close box ended the program with {s.app.returncode}")
    check("port close" in s.sim.events(since), f"events: {s.sim.events(since)}")

    s.start_online(first_run_port=False)
    check(s.place() == (140, 300), f"the window came back at {s.place()}")
    since = zd.mark()
    s.move(150, 120)
    s.app.terminate()
    s.app.wait(timeout=10)
    check("port close" in s.sim.events(since), f"events: {s.sim.events(since)}")
    place = (s.stored("Windows Settings", "FormLeft"), s.stored("Windows Settings", "FormTop"))
    check(place == ("2250", "1800"), f"SIGTERM stored the place {place}")
    for path in glob.glob("/var/lock/*") + glob.glob("/run/lock/*"):
        with contextlib.suppress(OSError), open(path, encoding="latin-1") as f:
            check(f.read().split()[:1] != [str(s.app.pid)], f"a stale lock file {path} is left")

    s.sim.command("silent on")
    s.launch(first_run_port=False)
    box, win = s.wait_window(zd.BOX_TITLE)
    check(box.getRoleName() == "alert", f"the message box is a {box.getRoleName()!r}, not read out")
    s.keys("space", window=win)  # OK has the focus
    check(s.app.wait(timeout=20) != 0, "the program ended with exit code 0")
    check(not s.windows(zd.MAIN_TITLE), "the main window showed")


def scenario_display_dies(s):
    """The X server going away (a session ended, a remote display lost)
    ends the program by an exit() of Qt's: tune and a logger's PTT, both on,
    are let go before the port closes."""
    s.start_sim()
    port = zd.free_udp_port()
    s.start_online(f"--cwdaemon={port}")
    since = zd.mark()
    s.keys("F6")
    s.wait_sim_event("tune on", since)
    zd.to_cwdaemon(port, b"\x1ba1")
    s.wait_until(lambda: s.sim.received(since) == bytes.fromhex("0b 01 18 01"), 20, "the logger's PTT on")
    s.x.proc.kill()
    check(s.app.wait(timeout=30) > 0, f"the program ended with {s.app.returncode}")
    got = s.sim.received(since)
    check(got == bytes.fromhex("0b 01 18 01 0b 00 18 00"), f"the chip got {got!r}")
    check("port close" in s.sim.events(since), f"events: {s.sim.events(since)}")


def main():
    scenarios = {n[len("scenario_"):]: f for n, f in globals().items() if n.startswith("scenario_")}
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", required=True, choices=sorted(scenarios))
    for option in ("--app", "--sim"):
        parser.add_argument(option, required=True)
    parser.add_argument("--artifacts")
    args = parser.parse_args()
    zd.on_private_bus()
    started = time.monotonic()
    session = zd.Session(args.app, args.sim, args.scenario)
    try:
        scenarios[args.scenario](session)
    except Exception as failure:
        detail = failure if isinstance(failure, zd.Failure) else traceback.format_exc()
        print(f"FAIL {args.scenario}: {detail}\n{session.diagnostics()}")
        session.stop(keep_in=args.artifacts)
        return 1
    session.stop()
    print(f"PASS {args.scenario} ({time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
