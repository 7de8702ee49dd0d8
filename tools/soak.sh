#!/usr/bin/env bash
# The soak command (not run in CI; about three minutes): 10^5 transfers, 2000
# open/close cycles and 300 cycles with the dialog and a live preview in one
# process, printing what each cycle leaves behind as slopes per cycle (the
# README's soak table). Arguments go to ds_bench, e.g. tools/soak.sh
# --transfers 1000 --cycles 100 --dialog-cycles 20 for a short run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${BUILD_DIR:-$root/build}")"
"$root/tools/setup-debian.sh"
BUILD_DIR="$build" "$root/tools/build.sh"
. "$root/tools/wine-env.sh"
trap wine_env_stop EXIT
# The benchmark's prefix: the tests expect no imaging library in system32.
wine_env_init "$build" bench-prefix
xvfb_start 24
wineserver -p
wine_services_start
cmake --install "$build" --prefix "$WINEPREFIX/drive_c" >/dev/null
cd "$build/bin"
wine ds_bench.exe soak "$@" </dev/null | tee "$build/soak-table.md"
