#!/usr/bin/env bash
# Configures and builds one build type: release (default) or sanitize.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-release}
shift || true
case "$kind" in
    release) dir=$root/build/release; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    sanitize) dir=$root/build/sanitize; flags=(-DCMAKE_BUILD_TYPE=Debug -DBRELLIN_SANITIZE=ON) ;;
    fuzz) dir=$root/build/fuzz; flags=(-DCMAKE_BUILD_TYPE=Debug -DBRELLIN_FUZZ=ON -DBRELLIN_TESTS=OFF
                                        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    *) echo "usage: $0 [release|sanitize|fuzz] [cmake options]" >&2; exit 2 ;;
esac
if [ "${CI:-}" = "true" ]; then flags+=(-DBRELLIN_WERROR=ON); fi
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
