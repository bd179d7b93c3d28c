#!/usr/bin/env bash
# Keys text through zavokeyer-sim from fldigi, a WinKeyer host program that
# none of us wrote, and checks from the simulator's log that the chip keyed
# the text fldigi sent, at the speed fldigi set. Run by hand (fldigi is
# heavy, so CI does not): needs root (the pty is published under
# /dev/serial/by-id, the only place fldigi lists a port that is not a real
# tty), fldigi, Xvfb and python3.
#
#   scripts/interop-fldigi.sh [path/to/zavokeyer-sim]
#
# fldigi runs headless with a private home; its WinKeyer is online at start
# and its knob setting is on, so every knob report makes it send 02 nn.
# It is driven over its XML-RPC server; the knob is turned on the
# simulator's stdin.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sim=${1:-}
if [ -z "$sim" ]; then
    for candidate in "$root"/build-sim/sim/zavokeyer-sim "$root"/build-tests/sim/zavokeyer-sim "$root"/build/sim/zavokeyer-sim; do
        if [ -x "$candidate" ]; then sim=$candidate; break; fi
    done
fi
[ -x "$sim" ] || { echo "interop-fldigi: no zavokeyer-sim found; build it or pass its path" >&2; exit 2; }
for tool in fldigi Xvfb python3; do
    command -v "$tool" > /dev/null || { echo "interop-fldigi: $tool is not installed" >&2; exit 2; }
done
[ "$(id -u)" = 0 ] || { echo "interop-fldigi: run as root (the port goes under /dev/serial/by-id)" >&2; exit 2; }

work=$(mktemp -d /tmp/interop-fldigi.XXXXXX)
link=/dev/serial/by-id/usb-Zavo_Keyer_simulator_$$-if00
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
    wait 2> /dev/null || true
    rm -f "$link"
    if [ "${keep:-0}" = 1 ]; then echo "interop-fldigi: files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# A free X display and a free TCP port for the XML-RPC server.
display=90
while [ -e /tmp/.X11-unix/X$display ] || [ -e /tmp/.X$display-lock ]; do display=$((display + 1)); done
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

Xvfb :$display -screen 0 1024x768x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
pids+=($!)

mkdir -p /dev/serial/by-id
mkfifo "$work/sim.in"
"$sim" --link "$link" --log "$work/sim.log" --quiet < "$work/sim.in" > "$work/sim.out" 2> "$work/sim.err" &
pids+=($!)
exec 3> "$work/sim.in"
for _ in $(seq 50); do grep -q '^ready' "$work/sim.err" && break; sleep 0.1; done
grep -q '^ready' "$work/sim.err" || { cat "$work/sim.err" >&2; exit 1; }

# fldigi with a private home. A first run, switched to CW and told to quit,
# writes fldigi's own full settings file (an existing fldigi_def.xml skips
# the first-run wizard); the WinKeyer keys are then set in it: online at
# start on our port, 20 WPM from the host, the knob from 10 WPM over 25 and
# in charge of the speed. A second run starts in CW with the WinKeyer open.
home=$work/home
mkdir -p "$home/.fldigi"
touch "$home/.fldigi/fldigi_def.xml"
start_fldigi() {
    HOME=$home DISPLAY=:$display fldigi --home-dir "$home/" --config-dir "$home/.fldigi/" \
        --xmlrpc-server-port "$port" >> "$work/fldigi.log" 2>&1 &
    fldigi_pid=$!
    pids+=($fldigi_pid)
}
rpc() {
    python3 - "$port" "$@" << 'PY'
import sys, time, xmlrpc.client
server = xmlrpc.client.ServerProxy(f"http://127.0.0.1:{sys.argv[1]}")
for _ in range(300):
    try:
        server.fldigi.version()
        break
    except OSError:
        time.sleep(0.2)
for call in sys.argv[2:]:
    name, _, arg = call.partition("=")
    method = server
    for part in name.split("."):
        method = getattr(method, part)
    method(*([int(arg)] if arg.isdigit() else [arg] if arg else []))
PY
}
start_fldigi
rpc modem.set_by_name=CW
sleep 1
rpc fldigi.terminate=0 || true
for _ in $(seq 100); do kill -0 "$fldigi_pid" 2> /dev/null || break; sleep 0.2; done
kill "$fldigi_pid" 2> /dev/null || true
wait "$fldigi_pid" 2> /dev/null || true
prefs=$home/.fldigi/fldigi.prefs
grep -q '^mode_name:CW$' "$prefs" || { echo "interop-fldigi: fldigi did not save CW as its mode" >&2; exit 1; }
for setting in "WK_serial_port_name:$link" WK_online:1 WK_use_pot:1 WK_cmd_wpm:20 WK_min_wpm:10 WK_rng_wpm:25; do
    sed -i "/^${setting%%:*}:/d" "$prefs"
    echo "$setting" >> "$prefs"
done
start_fldigi

# Each step: an optional knob position, then a text sent at the speed the
# knob gives (10 WPM plus the knob, at most 25 above). The last one turns
# the knob past the range: fldigi must still be told 35.
python3 - "$port" "$work/sim.log" << 'PY'
import sys, time, xmlrpc.client

port, log_path = sys.argv[1], sys.argv[2]
fldigi = xmlrpc.client.ServerProxy(f"http://127.0.0.1:{port}")
sim_in = open("/dev/fd/3", "w", buffering=1)
MIN_WPM, RANGE = 10, 25
DITS = {}
CODE = {"A": ".-", "B": "-...", "C": "-.-.", "D": "-..", "E": ".", "F": "..-.", "G": "--.", "H": "....",
        "I": "..", "J": ".---", "K": "-.-", "L": ".-..", "M": "--", "N": "-.", "O": "---", "P": ".--.",
        "Q": "--.-", "R": ".-.", "S": "...", "T": "-", "U": "..-", "V": "...-", "W": ".--", "X": "-..-",
        "Y": "-.--", "Z": "--..", "0": "-----", "1": ".----", "2": "..---", "3": "...--", "4": "....-",
        "5": ".....", "6": "-....", "7": "--...", "8": "---..", "9": "----."}
for ch, code in CODE.items():
    # Elements, a dit between them, three after the character.
    DITS[ch] = sum(1 if e == "." else 3 for e in code) + len(code) - 1 + 3

def log():
    lines = []
    with open(log_path) as f:
        for line in f:
            t, kind, *rest = line.rstrip("\n").split(" ", 2)
            lines.append((float(t), kind, rest[0] if rest else ""))
    return lines

def keyed_at(rest):
    """A key line's rest, "A 30" (a blank: "  30"): the character and its speed."""
    ch, _, wpm = rest.rpartition(" ")
    return ch, int(wpm)

def wait(what, pred, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            if pred():
                return
        except (ConnectionError, OSError):
            pass
        time.sleep(0.2)
    sys.exit(f"interop-fldigi: FAIL: timed out waiting for {what}")

failures = []
def check(ok, message):
    print(("ok    " if ok else "FAIL  ") + message)
    if not ok:
        failures.append(message)

wait("fldigi's XML-RPC server", lambda: fldigi.fldigi.version(), 60)
print(f"fldigi {fldigi.fldigi.version()} up; modem {fldigi.modem.get_name()}")
if fldigi.modem.get_name() != "CW":
    fldigi.modem.set_by_name("CW")
wait("fldigi to open the WinKeyer", lambda: any(k == "event" and t == "host open" for _, k, t in log()), 30)
# fldigi reads the knob after its set-up; the last of it is a 07.
wait("fldigi's set-up", lambda: any(k == "out" and "8F" in t.split() for _, k, t in log()), 15)
time.sleep(1)

def speeds_since(mark):
    return [int(t.split()[1]) for tt, k, t in log() if tt > mark and k == "event" and t.startswith("speed ")
            and t.split()[1].isdigit()]

def send(text, pot):
    mark = log()[-1][0]
    if pot is not None:
        sim_in.write(f"pot {pot}\n")
        expected = MIN_WPM + min(pot, RANGE)
        wait(f"fldigi to set {expected} WPM from the knob",
             lambda: expected in speeds_since(mark), 10)
        report = [t for tt, k, t in log() if tt > mark and k == "out"][0]
        check(report == f"{0x80 | min(pot, RANGE):02X}",
              f"pot {pot}: the chip reported {report}, {expected} WPM within range {RANGE}")
    else:
        expected = None
    mark = log()[-1][0]
    fldigi.text.clear_tx()
    fldigi.text.add_tx(text + "^r")
    fldigi.main.tx()
    # Done when the last character is echoed and the chip is idle.
    want = text.replace(" ", "")
    def keyed():
        return "".join(keyed_at(t)[0] for tt, k, t in log() if tt > mark and k == "key")
    wait(f"{text!r} keyed", lambda: keyed() == want and log()[-1][1] == "out"
         and log()[-1][2].split()[-1] == "C0", 120)
    lines = [l for l in log() if l[0] > mark]
    speed = speeds_since(0)[-1]
    if expected is not None:
        check(speed == expected, f"fldigi set {speed} WPM, the knob gives {expected}")
    check(keyed() == want, f"keyed {keyed()!r}, fldigi sent {want!r} (fldigi times the word gaps itself)")
    # Each character lasts from its key line to its echo (serial echo is on).
    worst = 0.0
    wrong_speed = []
    for i, (t, kind, rest) in enumerate(lines):
        if kind != "key":
            continue
        ch, wpm = keyed_at(rest)
        if wpm != speed:
            wrong_speed.append(f"{ch} at {wpm}")
        echo = next(tt for tt, k, tx in lines[i + 1:] if k == "out" and f"{ord(ch):02X}" in tx.split())
        want_ms = DITS[ch] * 1200.0 / speed
        worst = max(worst, abs((echo - t) - want_ms) / want_ms)
    check(worst < 0.05, f"every character of {text!r} lasted its time at {speed} WPM (worst off by {worst:.1%})")
    check(not wrong_speed, f"every key line of {text!r} says {speed} WPM ({', '.join(wrong_speed) or 'all do'})")
    statuses = [tx for _, k, tx in lines if k == "out"]
    check(any("C4" in s.split() for s in statuses) and statuses[-1].split()[-1] == "C0",
          "busy (C4) while keying, idle (C0) at the end")

send("CQ TEST DE VZ1KR", None)
send("PARIS 30 WPM", 20)
send("VZ1KR 35 WPM", 40)
print("interop-fldigi: " + ("PASS" if not failures else f"FAIL ({len(failures)})"))
sys.exit(1 if failures else 0)
PY
