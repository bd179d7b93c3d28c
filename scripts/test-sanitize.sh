#!/usr/bin/env bash
# The test suite again, built with AddressSanitizer (with LeakSanitizer) and
# UndefinedBehaviorSanitizer into build-asan. The end-to-end, packaging and
# benchmark tests are left out: they time real runs or build packages; so
# are the soak runs, longer walks of what the regular build ran.
# Every sanitizer report fails the run, including those of child processes
# (the chip simulator, the program itself), which the tests do not watch:
# reports go to files in build-asan/sanitizer-reports and are checked here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-asan"
reports="$build/sanitizer-reports"

bash "$root/scripts/build.sh" "$build" -DZAVO_SANITIZE=ON -DZAVO_WERROR=ON -DZAVO_BENCH=OFF

rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:print_stacktrace=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0"

status=0
# Sanitized code runs several times slower: the timeout covers tests that set none.
(cd "$build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 900 -LE "e2e|packaging|bench|soak") \
    || status=$?

if compgen -G "$reports/*" >/dev/null; then
    echo "== sanitizer reports"
    for report in "$reports"/*; do
        echo "-- $report"
        cat "$report"
    done
    status=1
fi
if ((status != 0)); then
    echo "test-sanitize.sh: the sanitizer build failed (see above)" >&2
    exit "$status"
fi
echo "test-sanitize.sh: every test passed under ASan, LSan and UBSan with no report"
