#!/bin/sh
# Runs a command in the 64-bit Wine prefix of the build (created once, as
# tools/wine-env.sh makes it), with the 32-bit source, its host and the
# simulated board library installed where a 64-bit Windows has them, and
# Twain_64.ds where Wine's 64-bit manager loads it (twain_64\sane.ds), and
# a source that answers out of bounds beside the real one (Twain_32.ds.broken,
# for the tests to swap in). A
# wineserver of the prefix's own runs for the command and is ended after it.
#
#   run64.sh SOURCE_DIR BUILD_DIR COMMAND...
root=$1 build=$2
shift 2
. "$root/tools/wine-env.sh"
wine_env_init64 "$build" >/dev/null || exit 1
c="$WINEPREFIX/drive_c/windows"
mkdir -p "$c/twain_32/Talvenix" "$c/twain_64/Talvenix"
cp "$build/bin/Twain_32.ds" "$build/host/TwainHost32.exe" "$build/host/TWAINDSM.DLL" "$c/twain_32/Talvenix/" &&
cp "$build/bin/MIL.DLL" "$build/bin/MILORION.DLL" "$c/syswow64/" &&
cp "$build/x64/bin/Twain_64.ds" "$c/twain_64/Talvenix/" &&
cp "$build/x64/bin/Twain_64.ds" "$c/twain_64/sane.ds" &&
cp "$build/broken-source/Twain_32.ds" "$c/twain_32/Talvenix/Twain_32.ds.broken" || exit 1
wineserver -p
trap 'wineserver -k 2>/dev/null' EXIT
trap 'exit 1' TERM INT HUP
wine_services_start
cd "$build/x64/bin" && "$@"
