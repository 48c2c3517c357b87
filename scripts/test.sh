#!/usr/bin/env bash
# Builds Brellin and runs every test: the suite in a release build and under AddressSanitizer and
# UndefinedBehaviorSanitizer, the layering check and a short run of each fuzz target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" test

jobs=$(nproc)
run_suite() {
    local dir=$1
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

echo "== release build =="
"$root/scripts/build.sh" release
run_suite "$root/build/release"

echo "== sanitizer build =="
"$root/scripts/build.sh" sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite "$root/build/sanitize"

echo "== fuzz targets =="
"$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-20}"
