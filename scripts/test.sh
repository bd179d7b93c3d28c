#!/usr/bin/env bash
# Builds Zavo Keyer and runs the whole test suite headless: the regular
# build with every CTest label, then the sanitizer build, the fuzzers for a
# bounded time and the benchmark's short mode.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"

echo "== build and test"
bash "$root/scripts/build.sh" "$root/build-tests" -DZAVO_WERROR=ON
# The tests mostly wait on the simulated chip's clock, not the processor:
# four run at a time on two cores. End-to-end and interop tests run alone.
(cd "$root/build-tests" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j4 --timeout 600)

for step in test-sanitize.sh fuzz.sh bench-short.sh; do
    echo "== $step"
    bash "$root/scripts/$step"
done
