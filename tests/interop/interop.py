"""What the interop tests share: the processes they start, the waits, and the simulator's log read
back as the text keyed."""
import ctypes, os, re, signal, socket, subprocess, sys, tempfile, time

procs = {}


def fail(message):
    raise SystemExit(f"FAIL: {message}")


def wait(what, predicate, timeout=20):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        for name, proc in procs.items():
            if proc.poll() is not None:
                fail(f"{name} ended (exit code {proc.returncode}) while waiting for {what}")
        if time.monotonic() > deadline:
            fail(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.02)
    return value


def start(name, args, **kwargs):
    # Dies with the test even when CTest kills it at the timeout.
    procs[name] = subprocess.Popen(args, preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL),
                                   **kwargs)


def stop(name, gently=False):
    proc = procs.pop(name)
    proc.terminate() if gently else proc.kill()
    proc.wait(timeout=5)


def stop_all():
    for name in list(procs):
        stop(name)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_simulator(sim, tmp, *options):
    log = f"{tmp}/sim.log"
    start("the simulator", [sim, "--link", f"{tmp}/chip", "--log", log, "--quiet", *options],
          stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
    wait("the simulator's pty", lambda: os.path.exists(log) and " event ready " in open(log).read())
    return log


def start_program(app, tmp, port, cwdaemon):
    for folder in ("config", "home"):
        os.makedirs(f"{tmp}/{folder}", exist_ok=True)
    start("zavokeyer", [app, "--first-run-port", port, f"--cwdaemon=127.0.0.1:{cwdaemon}"],
          stdin=subprocess.DEVNULL, stdout=open(f"{tmp}/app.log", "w"), stderr=subprocess.STDOUT,
          env=dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=f"{tmp}/config", HOME=f"{tmp}/home"))
    wait("the program's cwdaemon port", lambda: listening(cwdaemon))


def keyed(log):
    """The simulator's log as the text keyed, "[N]" where the speed becomes N WPM, "|" at a clear."""
    text, speed = "", None
    for char, wpm, clear in re.findall(r"^\S+ (?:key (.) (\d+)|event (clear))$", open(log).read(), re.M):
        text += "|" if clear else char if wpm == speed else f"[{wpm}]{char}"
        speed = speed if clear else wpm
    return text.lstrip("|")  # the program's start-up clears


def dump_logs(tmp, *names):
    for name in ("sim.log", "app.log", *names):
        if os.path.exists(f"{tmp}/{name}"):
            print(f"--- {name}\n" + open(f"{tmp}/{name}").read(), file=sys.stderr)


def free_udp_port():
    return free_port(socket.SOCK_DGRAM)


def listening(port):
    return re.search(rf"^\s*\d+: [0-9A-F]{{8}}:{port:04X} ", open("/proc/net/udp").read(), re.M)


def start_zavokeyer(app, sim, tmp, char_ms):
    """Zavo Keyer on the simulator with its cwdaemon server on a free port, which it returns."""
    start_simulator(sim, tmp, "--char-ms", str(char_ms))
    port = free_udp_port()
    start_program(app, tmp, f"{tmp}/chip", port)
    return port


def main(run, prefix, *logs):
    """Runs run(tmp) in a temporary folder; the logs and the text keyed are printed on failure."""
    with tempfile.TemporaryDirectory(prefix=prefix) as tmp:
        try:
            run(tmp)
        except BaseException:
            dump_logs(tmp, *logs)
            if os.path.exists(f"{tmp}/sim.log"):
                print(f"--- keyed\n{keyed(f'{tmp}/sim.log')}", file=sys.stderr)
            raise
        finally:
            stop_all()
