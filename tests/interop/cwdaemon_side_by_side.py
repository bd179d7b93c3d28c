#!/usr/bin/python3
"""The same datagrams to Debian's cwdaemon (null device and sound) and to Zavo Keyer on the chip
simulator: the same replies in the same order, but where Zavo Keyer differs on purpose (the manual's
table says where). Without cwdaemon the test fails. usage: ZAVOKEYER ZAVOKEYER-SIM BUILD_DIR"""
import concurrent.futures, os, select, socket, subprocess, sys, time

from interop import fail, free_udp_port, listening, main, procs, start, start_zavokeyer, wait

E = b"\x1b"
QUIET = 1.0  # longer than any text here takes at 60 WPM or 20 ms a character, with room for a busy machine
# Steps: a datagram from logger A, ("B", datagram) from B, a pause in seconds, or "|" (the replies so
# far); then cwdaemon's replies (by logger; "ended": it has gone) and Zavo Keyer's where they differ.
CASES = [
    ("ESC h, then text", [E + b"hONE", b"ab"], [b"A hONE\r\n"], None),
    ("a caret", [b"ab^"], [b"A ab\r\n"], None),
    ("an abort", [b"paris paris paris paris paris^", 0.3, E + b"4"], [b"A break\r\n"], None),
    ("a bad speed, then ESC h", [E + b"2999", E + b"hX", b"e"], [b"A hX\r\n"], None),
    ("an empty datagram", [b"", b"e^"], [b"A e\r\n"], None),
    ("a NUL ends a request", [b"\0x^", b"e^"], [b"A e\r\n"], None),
    ("the latest ESC h wins", [E + b"hA", E + b"hB", b"e"], [b"A hB\r\n"], None),
    ("a reply is used once", [E + b"hA", b"e", b"e"], [b"A hA\r\n"], None),
    ("a caret's reply over ESC h, which it uses up", [E + b"hA", b"e^", b"e"], [b"A e\r\n"], None),
    ("a caret mid-text", [b"AB^CD"], [b"A AB\r\n"], None),
    # cwdaemon takes a second over a reset before it reads on.
    ("a reset drops the reply asked for", [E + b"hGONE", E + b"0", b"e", b"e^", 1.2], [b"A e\r\n"], None),
    ("lower case with a caret", [b"cq^"], [b"A cq\r\n"], None),
    # cwdaemon keeps one reply request for everyone: another logger's text sets it off.
    ("a reply request is its sender's", [E + b"hA", ("B", b"e"), "|", b"e"], [b"A hA\r\n", b"|"],
     [b"|", b"A hA\r\n"]),
    ("ESC 5 (last: cwdaemon ends)", [E + b"5", 1.5, E + b"hZ", b"e"], [b"ended"], [b"A hZ\r\n"]),
]


def replies(sockets, proc):
    heard = []
    while ready := select.select(sockets.values(), [], [], QUIET)[0]:
        for name, sock in sockets.items():
            try:
                heard += [name.encode() + b" " + sock.recv(512)] if sock in ready else []
            except ConnectionRefusedError:  # sent to a program that has gone
                pass
    return heard + ([b"ended"] if proc.poll() is not None else [])


def session(port, proc):
    results = []
    for _, steps, _, _ in CASES:  # each case from loggers of its own (new ports)
        sockets = {name: socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for name in "AB"}
        heard = []
        for step in steps:
            if isinstance(step, float):
                time.sleep(step)
            elif step == "|":
                heard += replies(sockets, proc) + [b"|"]
            else:
                name, datagram = step if isinstance(step, tuple) else ("A", step)
                sockets[name].sendto(datagram, ("127.0.0.1", port))
        results.append(heard + replies(sockets, proc))
        for sock in sockets.values():
            sock.close()
    return results


def run(app, sim, build, tmp):
    got = subprocess.run([f"{os.path.dirname(__file__)}/../../scripts/cwdaemon-unpacked.sh", build],
                         capture_output=True, text=True)
    if got.returncode:
        fail(f"no cwdaemon to compare with (scripts/install-deps.sh installs libcw7): {got.stderr.strip()}")
    ours, theirs = start_zavokeyer(app, sim, tmp, 20), free_udp_port()
    start("cwdaemon", [got.stdout.strip(), "-n", "-d", "null", "-x", "n", "-s", "60", "-y", "n", "-p", str(theirs)],
          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait("cwdaemon's port", lambda: listening(theirs))
    with concurrent.futures.ThreadPoolExecutor() as pool:  # cwdaemon ends at ESC 5: no longer watched
        cwdaemon, zavo = pool.map(session, (theirs, ours), (procs.pop("cwdaemon"), procs["zavokeyer"]))
    wrong = [f"{name}: cwdaemon answered {real}, not {written}" for (name, _, written, _), real
             in zip(CASES, cwdaemon) if real != written]
    wrong += [f"{name}: Zavo Keyer answered {ours}, not {differs or real}" for
              (name, _, _, differs), real, ours in zip(CASES, cwdaemon, zavo) if ours != (differs or real)]
    if wrong:
        fail("\n".join(wrong))
    print(f"PASS: {len(CASES)} cases, {sum(map(len, zavo))} replies")


main(lambda tmp: run(*sys.argv[1:4], tmp), "zavo-cwdaemon-")
