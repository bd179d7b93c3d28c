"""Takes the screenshots in docs/screenshots from the real program in a
private X server, with the end-to-end tests' driver. Run it through
scripts/screenshots.sh, which builds first:

    /usr/bin/python3 screenshots.py --app PATH --sim PATH --out DIR
"""

import argparse
import os
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
# The end-to-end tests' driver does the work.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

import zavodriver as zd  # noqa: E402


def shoot(session, window, out, name):
    session.pause(0.4)  # nothing tells when a window is painted
    session.x.screenshot(window, os.path.join(out, name))
    print(f"wrote {os.path.join(out, name)}")


def first_run_and_dialogs(s, out):
    s.start_sim()
    s.launch(first_run_port=False)
    _, chooser = s.wait_window(zd.CHOOSER_TITLE)
    # A port name as an operator would have it, not the simulator's temporary one.
    s.keys("ctrl+a", window=chooser)
    s.x.type("/dev/ttyUSB0")
    shoot(s, chooser, out, "port-chooser.png")
    s.keys("ctrl+a", window=chooser)
    s.x.type(s.sim.link)
    s.keys("Return", window=chooser)
    s.wait_online()
    s.x.xdotool("windowfocus", "--sync", s.main_window)
    shoot(s, s.main_window, out, "main-window.png")
    # Tab twice to Msg3; the menu key opens its editor.
    for keys, title, name in ((["alt+s"], zd.SETTINGS_TITLE, "keyer-settings.png"),
                              (["Tab", "Tab", "Menu"], zd.EDITOR_TITLE, "message-editor.png"),
                              (["alt+a"], zd.ABOUT_TITLE, "about.png"),
                              (["alt+h"], zd.HELP_TITLE, "help.png")):
        s.keys(*keys)
        _, window = s.wait_window(title)
        shoot(s, window, out, name)
        s.x.close_window(window)
        s.wait_gone(title)


def no_response(s, out):
    # A short, fixed link path: the message names it.
    s.start_sim("--silent", link=os.path.join(tempfile.gettempdir(), "winkey"))
    s.launch()
    shoot(s, s.wait_window(zd.BOX_TITLE)[1], out, "no-response.png")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--app", "--sim", "--out"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    zd.on_private_bus()
    for step in (first_run_and_dialogs, no_response):
        session = zd.Session(args.app, args.sim, "screenshots")
        try:
            step(session, args.out)
        except zd.Failure as failure:
            print(f"screenshots: {failure}\n{session.diagnostics()}")
            return 1
        finally:
            session.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
