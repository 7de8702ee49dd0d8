#!/usr/bin/env bash
# The release build and its installers: configures the release preset
# (Release, no tests, no GoogleTest) into BUILD_DIR/release, builds what ships,
# the NSIS setup program and the MSI package, and prints the setup program's
# path and then the package's as its last two lines.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
release="$(realpath -m "${BUILD_DIR:-$root/build}")/release"
"$root/tools/setup-debian.sh" >&2
cd "$root"
cmake --preset release -B "$release" >/dev/null
cmake --build "$release" -j"$(nproc)" >&2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$release/CMakeCache.txt")
echo "$release/Talvenix-Orion-TWAIN-$version-setup.exe"
echo "$release/Talvenix-Orion-TWAIN-$version.msi"
