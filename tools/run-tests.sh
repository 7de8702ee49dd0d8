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
# The board's screen-depth check needs a whole program run on a screen at
# 16 bits per pixel (Wine draws a process on one X server).
screen24=$DISPLAY xvfb24=$_xvfb_pid
xvfb_start 16
(cd "$build/bin" && sh "$root/tests/run_checked.sh" gtest wine board_tests.exe --gtest_color=no \
    --gtest_filter='StartUp.ScreenNotAt32BitsFailsWithItsBox') || depth16_failed=1
kill "$_xvfb_pid"; wait "$_xvfb_pid" 2>/dev/null || true
_xvfb_pid=$xvfb24; export DISPLAY=$screen24

cd "$build"
status=0
ctest --output-on-failure "$@" || status=$?
if [ -n "${depth16_failed:-}" ]; then
    echo "FAILED: StartUp.ScreenNotAt32BitsFailsWithItsBox on a 16-bit screen"
    status=1
fi
exit $status
