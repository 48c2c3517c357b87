#!/usr/bin/env bash
# Runs the browser extension's unit tests under node; exit 77 (skipped) when node is not installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
node=$(command -v node || command -v nodejs || true)
if [ -z "$node" ]; then
    echo "node is not installed: the extension's unit tests are skipped"
    exit 77
fi
cd "$root/extension"
exec "$node" --test test/*.test.js
