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
# At every MSG_OPENDS Wine's manager also loads its own gphoto2.ds, which
# searches for cameras (0.15-0.27 s here): not the source's time.
rm -f "$WINEPREFIX/drive_c/windows/twain_32/gphoto2.ds"

table="$build/bench-table.md"
status=0
cd "$build/bin"
: >"$table"
for part in header convert transfer formats open continuous timelapse averaging memory-use; do
    if ! wine ds_bench.exe "$part" "$@" </dev/null | tee -a "$table"; then
        status=1
    fi
done
# The 32-bit source called directly, then the 64-bit one through its host
# in a 64-bit prefix of its own (the 32-bit parts where a 64-bit Windows has
# them), against the 32-bit figures.
saved=$(winepath -w "$build/bench-host-path.txt")
savedCalls=$(winepath -w "$build/bench-calls.txt")
wine ds_bench.exe host-path --save "$saved" "$@" </dev/null | tee -a "$table" || status=1
wine ds_bench.exe calls --save "$savedCalls" "$@" </dev/null | tee -a "$table" || status=1
wine_env_stop
wine_env_init64 "$build" bench-prefix64
xvfb_start 24
wineserver -p
wine_services_start
cmake --install "$build" --prefix "$WINEPREFIX/drive_c" >/dev/null
mv "$WINEPREFIX/drive_c/windows/system32/MIL.DLL" "$WINEPREFIX/drive_c/windows/system32/MILORION.DLL" \
    "$WINEPREFIX/drive_c/windows/syswow64/"
cp "$WINEPREFIX/drive_c/windows/twain_64/Talvenix/Twain_64.ds" "$WINEPREFIX/drive_c/windows/twain_64/sane.ds"
rm -f "$WINEPREFIX/drive_c/windows/twain_64/gphoto2.ds"
cd "$build/x64/bin"
wine ds_bench.exe host-path --against "$saved" "$@" </dev/null | tee -a "$table" || status=1
wine ds_bench.exe calls --against "$savedCalls" "$@" </dev/null | tee -a "$table" || status=1
wine ds_bench.exe continuous "$@" </dev/null | tee -a "$table" || status=1
wine ds_bench.exe timelapse "$@" </dev/null | tee -a "$table" || status=1
echo "(table written to $table)"
exit $status
