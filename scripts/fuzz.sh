#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz and runs each for
# a bounded time, starting from its seed corpus in fuzz/corpus/<target>.
# Fails when any target crashes, breaks one of its rules, leaks or hangs.
#   FUZZ_SECONDS   time per target (default 30)
#   FUZZ_TARGETS   which targets (default: all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${FUZZ_SECONDS:-30}
targets=(${FUZZ_TARGETS:-fuzz_classify fuzz_numbers fuzz_cwdaemon})

for tool in clang clang++; do
    if ! command -v "$tool" >/dev/null; then
        echo "fuzz.sh: $tool is missing (bash scripts/install-deps.sh installs it)" >&2
        exit 1
    fi
done

# Two cores are shared by everyone building on the machine.
jobs=$(nproc)
((jobs > 2)) && jobs=2

echo "-- building the fuzz targets in $build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZAVO_FUZZ=ON -DBUILD_TESTING=OFF -DZAVO_WERROR=ON >/dev/null
cmake --build "$build" -j"$jobs" --target fuzz_all

# Qt's own one-time allocations (the regular expression cache, the locale
# data) stay reachable, so leak checking needs no suppressions here.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:print_stacktrace=1:quarantine_size_mb=64"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

failed=()
for target in "${targets[@]}"; do
    seeds="$root/fuzz/corpus/$target"
    # New inputs go to a working corpus in the build folder; the committed
    # seeds stay as they are.
    work="$build/corpus/$target"
    artifacts="$build/artifacts/$target/"
    log="$build/$target.log"
    mkdir -p "$work" "$artifacts"
    echo "-- $target: ${seconds}s from $(ls "$seeds" | wc -l) seeds"
    status=0
    timeout --kill-after=10 $((seconds + 120)) "$build/fuzz/$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts" "$work" "$seeds" >"$log" 2>&1 || status=$?
    if ((status != 0)); then
        echo "!! $target failed (exit $status); log: $log"
        grep -A1 -E "broken rule|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error" "$log" | head -20 || true
        ls "$artifacts" 2>/dev/null | sed "s|^|   input: $artifacts|"
        failed+=("$target")
    else
        grep -E "^stat::number_of_executed_units|^Done" "$log" | tr '\n' ' '
        echo
    fi
done

if ((${#failed[@]})); then
    echo "fuzz.sh: failing targets: ${failed[*]} (rerun one input with: $build/fuzz/<target> <input>)" >&2
    exit 1
fi
echo "fuzz.sh: all targets ran ${seconds}s without a failure"
