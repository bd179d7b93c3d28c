#!/usr/bin/env bash
# Builds Zavo Keyer and runs it against the built-in chip simulator, with a
# settings store of its own (the operator's own settings are never touched).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
# Only what the demo runs: the program and the simulator.
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target zavokeyer zavokeyer-sim

work=$(mktemp -d /tmp/zavokeyer-demo.XXXXXX)
link="$work/winkey"
mkfifo "$work/sim-in"
cleanup() {
    [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null || true
    [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
    exec 3>&- 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The simulator prints each character as the "chip" keys it.
"$root/build/sim/zavokeyer-sim" --link "$link" --log "$work/sim.log" <"$work/sim-in" &
sim_pid=$!
exec 3>"$work/sim-in" # keeps the simulator's stdin open; type commands with: echo 'pot 20' > ...
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: starting a virtual one (Xvfb :77). Screenshot it with e.g."
    echo "  DISPLAY=:77 import -window root shot.png"
    Xvfb :77 -screen 0 1280x1024x24 -nolisten tcp &
    xvfb_pid=$!
    export DISPLAY=:77
    sleep 1
fi

echo "Simulator on $link (log: $work/sim.log). Close the Zavo Keyer window to end the demo."
XDG_CONFIG_HOME="$work/config" "$root/build/zavokeyer" --first-run-port "$link"
