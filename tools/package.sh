#!/usr/bin/env bash
# The release build and its installer: configures the release preset (Release,
# no tests, no GoogleTest) into BUILD_DIR/release, builds what ships and the
# NSIS installer, and prints the installer's path as its last line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
release="$(realpath -m "${BUILD_DIR:-$root/build}")/release"
"$root/tools/setup-debian.sh" >&2
cd "$root"
cmake --preset release -B "$release" >/dev/null
cmake --build "$release" -j"$(nproc)" >&2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$release/CMakeCache.txt")
echo "$release/Talvenix-Orion-TWAIN-$version-setup.exe"
