#!/usr/bin/env bash
# Builds the browser extension for each browser: an unpacked folder to load for development and the
# .zip to install. Usage: package-extension.sh [output folder] (default build/extension).
#   <out>/chromium/ and <out>/brellin-chromium.zip   (Chromium, Chrome, Edge, Opera, Brave)
#   <out>/firefox/  and <out>/brellin-firefox.zip    (Firefox)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/extension}
source_dir=$root/extension/src
mkdir -p "$out"
out=$(cd "$out" && pwd)
for browser in chromium firefox; do
    dir=$out/$browser
    rm -rf "$dir" "$out/brellin-$browser.zip"
    mkdir -p "$dir"
    cp "$source_dir"/*.js "$source_dir"/*.html "$dir"/
    cp "$root/extension/manifest.$browser.json" "$dir/manifest.json"
    # Sorted names and a fixed time make the archive the same on every build.
    python3 - "$dir" "$out/brellin-$browser.zip" <<'PY'
import os, sys, zipfile
folder, target = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
    for name in sorted(os.listdir(folder)):
        info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        with open(os.path.join(folder, name), "rb") as source:
            archive.writestr(info, source.read())
PY
    echo "$out/brellin-$browser.zip"
done
