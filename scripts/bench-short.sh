#!/usr/bin/env bash
# The benchmark's short mode, run by the test command: a few seconds that
# prove zavokeyer-bench still builds, drives the program and prints its
# figures. It judges no timing (the machine may be busy); it fails only
# when a measure could not be taken at all. The full run is done by hand:
#   build-tests/bench/zavokeyer-bench > results.md   (see docs/BENCHMARKS.md)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-tests}
bench="$build/bench/zavokeyer-bench"

# A no-op after the test command's own build; builds the folder when run alone.
bash "$root/scripts/build.sh" "$build" -DZAVO_WERROR=ON
QT_QPA_PLATFORM=offscreen timeout 300 "$bench" --short
