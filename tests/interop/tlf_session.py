#!/usr/bin/python3
"""tlf keys CW through Zavo Keyer's cwdaemon server as an operator would: a CQ,
a call answered with an exchange carrying speed marks, PgUp and PgDn, Escape
inside a long message. The simulator's log must show exactly that text keyed
at exactly those speeds, and nothing of the aborted message after the clear.
usage: tlf_session.py ZAVOKEYER ZAVOKEYER-SIM"""
import fcntl, os, pty, re, shutil, socket, struct, sys, termios, threading
from interop import fail, free_port, keyed, main, start, start_program, start_simulator, wait

CALL, HIS, WPM = "DL1ZZZ", "DL2XYZ", 30
CQ = f"CQ ZAVO {CALL} TEST"
LONG = " ".join(["PARIS"] * 13)  # on the air for seconds: Escape comes well inside it
# '%' is our call, '@' the worked call, '+' and '-' raise and lower the speed by 2 WPM;
# tlf sends lower case as it stands.
RULES = f"CONTEST=zavo\nLOGFILE=zavo.log\nF1=cq zavo % test\nF2={LONG}\nF3=@ ++5NN--14\n"
F1, F2, ENTER, PGUP, PGDN, ESC = b"\x1bOP", b"\x1bOQ", b"\n", b"\x1b[5~", b"\x1b[6~", b"\x1b"


def count(text):
    return len(re.sub(r"\[\d+\]|\|", "", text))


def run(app, sim, tmp):
    if not shutil.which("tlf"):
        fail("tlf is not installed (bash scripts/install-deps.sh installs it)")
    log, port = start_simulator(sim, tmp, "--char-ms", "40"), free_port(socket.SOCK_DGRAM)
    start_program(app, tmp, f"{tmp}/chip", port)
    os.makedirs(f"{tmp}/tlf/rules")
    open(f"{tmp}/tlf/rules/zavo", "w").write(RULES)
    open(f"{tmp}/tlf/logcfg.dat", "w").write(f"NETKEYER\nNETKEYERHOST=127.0.0.1\nNETKEYERPORT={port}\n"
                                             f"CALL={CALL}\nRULES=zavo\nLOGFILE=zavo.log\nCWSPEED={WPM}\n")
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    start("tlf", ["tlf", "-n", "-r", "-f", "logcfg.dat"], stdin=slave, stdout=slave, stderr=slave,
          cwd=f"{tmp}/tlf", env=dict(os.environ, TERM="xterm", HOME=f"{tmp}/home", ESCDELAY="25"))
    os.close(slave)
    screen = bytearray()

    def read_screen():
        try:
            while chunk := os.read(master, 65536):
                screen.extend(chunk)
        except OSError:  # tlf is gone
            pass
    threading.Thread(target=read_screen, daemon=True).start()

    def press(keys, what="", keys_after=0):
        os.write(master, keys)
        wait(f"{what} keyed", lambda: count(keyed(log)) >= keys_after)

    wait("tlf's main screen", lambda: b"== zavo ==" in screen or b"Press any key" in screen)
    if b"== zavo ==" not in screen:  # the notice of a first run in this folder
        press(ENTER)
        wait("tlf's main screen", lambda: b"== zavo ==" in screen)
    sent = len(CQ)
    press(F1, "the CQ", sent)
    sent += len(HIS) + len(" 5NN14")
    press(HIS.encode() + ENTER, "the call and the exchange", sent)  # Enter on a call sends F3
    sent += len(CQ)
    press(b"\t" + PGUP + F1, "the CQ after PgUp", sent)  # Tab: from the exchange field back to the call
    press(PGDN + F2, "the start of the long message", sent + 2)
    press(ESC)
    before_clear = wait("the abort's clear", lambda: "|" in (text := keyed(log)) and text.partition("|")[0])
    press(F1, "the CQ after the abort", count(before_clear) + len(CQ))

    got = keyed(log)
    head = f"[{WPM}]{CQ}{HIS} [{WPM + 4}]5NN[{WPM}]14[{WPM + 2}]{CQ}[{WPM}]"
    aborted = re.fullmatch(re.escape(head) + r"([A-Z ]*)\|+" + re.escape(CQ), got)
    if not aborted or not LONG.startswith(aborted[1]) or len(aborted[1]) == len(LONG):
        fail(f"keyed {got!r}; expected {head!r}, a part of {LONG!r}, the clear and {CQ!r}")
    print(f"PASS: keyed {got!r}")


main(lambda tmp: run(*sys.argv[1:3], tmp), "zavo-tlf-")
