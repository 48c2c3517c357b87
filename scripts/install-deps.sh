#!/usr/bin/env bash
# Installs the Debian packages that building and testing Brellin need. Run as root; packages already
# present are left alone, so a second run costs only the check.
set -euo pipefail

build_packages=(build-essential cmake ninja-build ccache pkg-config libssl-dev libsqlite3-dev
                qt6-base-dev libgl-dev)
test_packages=(libgtest-dev libgmock-dev clang libclang-rt-14-dev nginx-light tinyproxy vsftpd dante-server
               microsocks lighttpd python3-ntlm-auth ffmpeg mkvtoolnix python3 python3-websockets openssl
               procps psmisc curl aria2 axel wget time chromium firefox-esr nodejs fonts-dejavu-core)
bench_packages=(gnuplot-nox time)

want=("${build_packages[@]}")
case "${1:-build}" in
    build) ;;
    test) want+=("${test_packages[@]}") ;;
    bench) want+=("${test_packages[@]}" "${bench_packages[@]}") ;;
    *) echo "usage: $0 [build|test|bench]" >&2; exit 2 ;;
esac

missing=()
for package in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages (run as root to install): ${missing[*]}" >&2
        exit 1
    fi
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# The packaged servers must not stay running on their default ports; the tests start their own.
for service in nginx tinyproxy vsftpd danted microsocks lighttpd; do
    if command -v service >/dev/null 2>&1; then service "$service" stop >/dev/null 2>&1 || true; fi
done
