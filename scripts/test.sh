#!/usr/bin/env bash
# Builds Brellin and runs every test: the suite in a release build and under AddressSanitizer and
# UndefinedBehaviorSanitizer, the layering check and a short run of each fuzz target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" test

logs=$root/build/test-logs
mkdir -p "$logs"
passed=0
failed=0
# Runs one ctest suite, keeps going when it fails, and adds its counts to the totals.
run_suite() {
    local name=$1 dir=$2 status=0
    ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 900 2>&1 | tee "$logs/$name.log" || status=1
    local line total bad
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$logs/$name.log" | tail -1)
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    if [ -z "$line" ]; then total=0; bad=1; fi
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    [ "$status" -eq 0 ] || [ "$bad" -gt 0 ] || failed=$((failed + 1))
}

echo "== release build =="
"$root/scripts/build.sh" release
run_suite release "$root/build/release"

echo "== sanitizer build =="
"$root/scripts/build.sh" sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite sanitize "$root/build/sanitize"

echo "== fuzz targets =="
fuzz_status=0
"$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-20}" 2>&1 | tee "$logs/fuzz.log" || fuzz_status=1
fuzz_line=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed' "$logs/fuzz.log" | tail -1 || true)
if [ -n "$fuzz_line" ]; then
    passed=$((passed + $(sed -E 's/fuzz: ([0-9]+) passed.*/\1/' <<<"$fuzz_line")))
    failed=$((failed + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$fuzz_line")))
elif [ "$fuzz_status" -ne 0 ]; then
    failed=$((failed + 1))
fi

echo
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
