#!/usr/bin/env bash
# Shows the simulated board's own live window under a private X server and
# saves a screenshot of the screen.
#
#   orionsim/tools/screenshot.sh [BUILD_DIR] [OUTPUT.png] [FORMAT]
#
# BUILD_DIR holds bin/orionsim_demo.exe and bin/MIL.DLL (build the targets
# orionsim and orionsim_demo first); the Wine prefix is BUILD_DIR/wineprefix.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
out="${2:-$build/orionsim-screenshot.png}"
format="${3:-M_PAL}"

. "$root/tools/wine-env.sh"
trap wine_env_stop EXIT
wine_env_init "$build"
xvfb_start 24
wineserver -p

cd "$build/bin"
ORIONSIM_PATTERN=live wine orionsim_demo.exe "$format" 6 1 &
demo=$!
sleep 3            # window up and a good number of frames drawn
import -window root "$out"
wait "$demo"
echo "screenshot: $out"
