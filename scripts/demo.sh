#!/usr/bin/env bash
# Builds Brellin and runs its main job: a multi-connection download with brellin-get from an nginx
# server on loopback, compared byte for byte with the served file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" test
"$root/scripts/build.sh" release
if [ ! -x "$root/build/release/bin/brellin-get" ]; then
    echo "brellin-get is not built yet; the foundation builds and its tests run with scripts/test.sh"
    exit 0
fi
exec "$root/scripts/demo-download.sh" "$root/build/release/bin/brellin-get"
