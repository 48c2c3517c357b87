#!/usr/bin/env bash
# Fails when code below the user interface includes anything from ui/. The desktop program's entry point
# (app/brellin/) is the one place above ui/ that wires it together.
set -euo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root"
hits=$(grep -rnE '#\s*include\s*[<"]ui/' base storage engine protocols mkv browserlink app 2>/dev/null |
       grep -v '^app/brellin/' || true)
if [ -n "$hits" ]; then
    echo "These files below the user interface include it:"
    echo "$hits"
    exit 1
fi
echo "layering ok"
