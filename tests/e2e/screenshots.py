"""Takes the screenshots in docs/screenshots: the main window and every
window the program opens, from the real program in a private X server,
driven with the end-to-end tests' driver. Run it through
scripts/screenshots.sh, which builds first:

    /usr/bin/python3 screenshots.py --app PATH --sim PATH --out DIR
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import zavodriver as zd  # noqa: E402

# A port name as an operator would have it; the simulator's own link goes in
# only after the picture, so no temporary folder shows in it.
SHOWN_PORT = "/dev/ttyUSB0"


def shoot(session, window, out, name):
    path = os.path.join(out, name)
    session.x.screenshot(window, path)
    print(f"wrote {path}")


def first_run_and_dialogs(session, out):
    session.start_sim()
    session.launch(first_run_port=False)
    _, chooser = session.wait_window(zd.CHOOSER_TITLE)
    session.keys_to(chooser, "ctrl+a")
    session.x.type(SHOWN_PORT)
    session.loop.pause(0.3)
    shoot(session, chooser, out, "port-chooser.png")
    session.keys_to(chooser, "ctrl+a")
    session.x.type(session.sim.link)
    session.keys_to(chooser, "Return")
    session.wait_online()
    session.x.focus(session.main_window)
    session.loop.pause(0.3)
    shoot(session, session.main_window, out, "main-window.png")

    session.keys("alt+s")
    _, window = session.wait_window(zd.SETTINGS_TITLE)
    session.loop.pause(0.3)
    shoot(session, window, out, "keyer-settings.png")
    session.x.close_window(window)
    session.wait_gone(zd.SETTINGS_TITLE)

    session.right_press(session.button("Msg3"))
    _, window = session.wait_window(zd.EDITOR_TITLE)
    session.loop.pause(0.3)
    shoot(session, window, out, "message-editor.png")
    session.x.close_window(window)
    session.wait_gone(zd.EDITOR_TITLE)

    session.keys("alt+a")
    _, window = session.wait_window(zd.ABOUT_TITLE)
    session.loop.pause(0.3)
    shoot(session, window, out, "about.png")
    session.x.close_window(window)
    session.wait_gone(zd.ABOUT_TITLE)

    session.keys("alt+h")
    _, window = session.wait_window(zd.HELP_TITLE)
    session.loop.pause(0.5)
    shoot(session, window, out, "help.png")
    session.x.close_window(window)
    session.wait_gone(zd.HELP_TITLE)


def no_response(session, out):
    # A short, fixed link path: the message names it.
    session.start_sim("--silent", link=os.path.join(tempfile.gettempdir(), "winkey"))
    session.launch()
    title = "Zavo Keyer"
    _, window = session.wait_window(title, timeout=30)
    session.loop.pause(0.3)
    shoot(session, window, out, "no-response.png")


STEPS = {"first_run_and_dialogs": first_run_and_dialogs, "no_response": no_response}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--app", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--step", choices=sorted(STEPS), help="one step only (each runs alone)")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    if not args.step:
        # Each step in a process, and so on an accessibility bus, of its own.
        for step in STEPS:
            result = subprocess.run([sys.executable, os.path.abspath(__file__), "--app", args.app,
                                     "--sim", args.sim, "--out", args.out, "--step", step])
            if result.returncode != 0:
                return result.returncode
        return 0
    zd.on_private_bus()
    session = zd.Session(args.app, args.sim, name="screenshots")
    try:
        STEPS[args.step](session, args.out)
    except zd.Failure as failure:
        print(f"screenshots: {failure}\n{session.diagnostics()}")
        return 1
    finally:
        session.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
