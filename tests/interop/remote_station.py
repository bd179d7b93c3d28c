#!/usr/bin/python3
"""A remote station on loopback: the chip simulator behind Debian's ser2net, socat giving the
operator's side a pseudo-terminal over TCP, and Zavo Keyer keying a logger's text through both.
When socat goes (the network dropped) and comes back, the link must come back by itself: a new
start-up reaches the chip and a later text is keyed. ser2net and socat come from Debian
(scripts/install-deps.sh); without them the test fails rather than skips.
usage: remote_station.py ZAVOKEYER ZAVOKEYER-SIM"""
import os, re, shutil, socket, subprocess, sys
from interop import fail, free_port, keyed, main, start, start_program, start_simulator, stop, wait


def run(app, sim, tmp):
    for tool in ("ser2net", "socat"):
        if not shutil.which(tool):
            fail(f"{tool} is not installed (bash scripts/install-deps.sh installs it)")
    log = start_simulator(sim, tmp, "--char-ms", "20")
    tcp, udp = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
    # The station's line as the manual gives it, less dtr and rts: a pty has no modem lines, and
    # ser2net refuses to open one it is asked to set them on. Its own file, pid file and port, in
    # the foreground: a ser2net service of the machine's is neither used nor disturbed.
    with open(f"{tmp}/ser2net.yaml", "w") as config:
        config.write(f"connection: &winkey\n  accepter: tcp(nodelay),127.0.0.1,{tcp}\n"
                     f"  connector: serialdev,{tmp}/chip,1200n81,local\n  options:\n    kickolduser: true\n")
    start("ser2net", ["ser2net", "-n", "-u", "-c", f"{tmp}/ser2net.yaml", "-P", f"{tmp}/ser2net.pid"],
          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(f"{tmp}/ser2net.log", "w"))
    wait("ser2net's port", lambda: f"0100007F:{tcp:04X} 00000000:0000 0A" in open("/proc/net/tcp").read())

    def connect():
        # As in the manual: the connection first, so the pty appears only once the station answers.
        start("socat", ["socat", f"tcp:127.0.0.1:{tcp},nodelay", f"pty,link={tmp}/winkey,rawer"],
              stdin=subprocess.DEVNULL, stderr=open(f"{tmp}/socat.log", "a"))
        wait("socat's pty", lambda: os.path.exists(f"{tmp}/winkey"))

    def start_ups():
        return open(log).read().count(" event host open")

    def key(text):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as logger:
            logger.sendto(text.encode(), ("127.0.0.1", udp))
        wait(f"{text!r} keyed", lambda: keyed(log).endswith(text))

    connect()
    start_program(app, tmp, f"{tmp}/winkey", udp)
    wait("the start-up at the chip", lambda: start_ups() == 1)
    key("CQ TEST")

    # What a dropped connection leaves: socat ends (its pty and link with it) and ser2net lets go
    # of the line, which the chip sees as its port closing.
    stop("socat", gently=True)
    wait("the station's line let go", lambda: " event port close" in open(log).read())
    connect()
    wait("the start-up after the return", lambda: start_ups() == 2)
    key("5NN 14")
    got = keyed(log)
    if not re.fullmatch(r"\[\d+\]CQ TEST\|*(\[\d+\])?5NN 14", got):
        fail(f"keyed {got!r}; expected 'CQ TEST' once, then '5NN 14'")
    print(f"PASS: keyed {got!r} through ser2net and socat, with the link back after socat's restart")


main(lambda tmp: run(*sys.argv[1:3], tmp), "zavo-remote-", "ser2net.log", "socat.log")
