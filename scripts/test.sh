#!/usr/bin/env bash
# Builds Zavo Keyer and runs the whole test suite headless.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$root/build-tests"
cd "$root/build-tests"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300
