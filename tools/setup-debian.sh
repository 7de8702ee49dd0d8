#!/usr/bin/env bash
# Installs what the build, the installer, the tests and the acquisition run need on Debian 12 (as root).
# Quick when everything is already present.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
for p in wine wine32:i386 wine64 g++-mingw-w64-i686 binutils-mingw-w64-i686 \
         g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
         xvfb xauth imagemagick python3-pil cmake make nsis wixl msitools; do
    have_pkg "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
[ -d /usr/src/googletest ] || { apt-get update -qq; apt-get install -y -qq googletest >/dev/null; }
echo "setup: done"
