#!/usr/bin/env bash
# The test command: installs what is missing, builds, prepares Wine and an X
# server, and runs every test program under CTest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/tools/setup-debian.sh"
BUILD_DIR="$build" "$root/tools/build.sh"
. "$root/tools/wine-env.sh"
trap wine_env_stop EXIT
wine_env_init "$build"
xvfb_start 24
wineserver -p
wine_services_start
cd "$build"
ctest --output-on-failure "$@"
