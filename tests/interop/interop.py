"""The interop tests' processes (they die with the test), waits that fail rather than skip, and
Zavo Keyer on the chip simulator with its cwdaemon server on a free port."""
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
    # Dies with this script even when CTest kills it at the timeout.
    procs[name] = subprocess.Popen(args, preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL),
                                   **kwargs)


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    return re.search(rf"^\s*\d+: [0-9A-F]{{8}}:{port:04X} ", open("/proc/net/udp").read(), re.M)


def start_zavokeyer(app, sim, tmp, char_ms):
    """Returns the port the program listens on for loggers."""
    log = f"{tmp}/sim.log"
    start("the simulator", [sim, "--link", f"{tmp}/winkey", "--log", log, "--quiet", "--char-ms", str(char_ms)],
          stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
    wait("the simulator's pty", lambda: os.path.exists(log) and " event ready " in open(log).read())
    port = free_udp_port()
    for folder in ("config", "home"):
        os.makedirs(f"{tmp}/{folder}")
    start("zavokeyer", [app, "--first-run-port", f"{tmp}/winkey", f"--cwdaemon=127.0.0.1:{port}"],
          stdin=subprocess.DEVNULL, stdout=open(f"{tmp}/app.log", "w"), stderr=subprocess.STDOUT,
          env=dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_CONFIG_HOME=f"{tmp}/config", HOME=f"{tmp}/home"))
    wait("the program's cwdaemon port", lambda: listening(port))
    return port


def main(run, prefix):  # the logs printed on failure
    with tempfile.TemporaryDirectory(prefix=prefix) as tmp:
        try:
            run(tmp)
        except BaseException:
            for name in ("sim.log", "app.log"):
                if os.path.exists(f"{tmp}/{name}"):
                    print(f"--- {name}\n" + open(f"{tmp}/{name}").read(), file=sys.stderr)
            raise
        finally:
            for proc in procs.values():
                proc.kill()
                proc.wait()
