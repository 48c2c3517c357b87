#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given number of seconds (default 20).
# For a longer hunt: scripts/fuzz.sh 3600
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
"$root/scripts/build.sh" fuzz
shopt -s nullglob
targets=("$root"/build/fuzz/fuzz/fuzz_*)
passed=0
failed=0
for target in "${targets[@]}"; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=$root/build/fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=$root/fuzz/seeds/${name#fuzz_}
    [ -d "$seeds" ] || seeds=
    if "$target" -max_total_time="$seconds" -rss_limit_mb=1024 -print_final_stats=0 "$corpus" $seeds \
        >"$root/build/fuzz/$name.log" 2>&1; then
        echo "fuzz $name: ok"
        passed=$((passed + 1))
    else
        echo "fuzz $name: FAILED"; tail -50 "$root/build/fuzz/$name.log"
        failed=$((failed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
