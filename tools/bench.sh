#!/usr/bin/env bash
# The benchmark command: installs what is missing, builds, prepares a Wine
# prefix of its own with the source installed where Wine's Data Source
# Manager finds it, and prints the benchmark's table (also written to
# BUILD_DIR/bench-table.md). Arguments go to every ds_bench run, e.g.
# tools/bench.sh --rounds 21 --frames 300.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${BUILD_DIR:-$root/build}")"
"$root/tools/setup-debian.sh"
BUILD_DIR="$build" "$root/tools/build.sh"
. "$root/tools/wine-env.sh"
trap wine_env_stop EXIT
# Not the tests' prefix: they expect no imaging library in system32.
wine_env_init "$build" bench-prefix
xvfb_start 24
wineserver -p
wine_services_start

# Wine 8's manager loads only twain_32\sane.ds (see tools/main-job.sh).
cmake --install "$build" --prefix "$WINEPREFIX/drive_c" >/dev/null
cp "$WINEPREFIX/drive_c/windows/twain_32/Talvenix/Twain_32.ds" "$WINEPREFIX/drive_c/windows/twain_32/sane.ds"

table="$build/bench-table.md"
status=0
cd "$build/bin"
: >"$table"
for part in header convert transfer continuous memory-use; do
    if ! wine ds_bench.exe "$part" "$@" </dev/null | tee -a "$table"; then
        status=1
    fi
done
echo "(table written to $table)"
exit $status
