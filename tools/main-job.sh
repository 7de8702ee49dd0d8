#!/usr/bin/env bash
# The main job: set up, build, install the source and the simulated imaging
# library into a Wine prefix, and talk to the source through Wine's TWAIN
# Data Source Manager.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/tools/setup-debian.sh"
BUILD_DIR="$build" "$root/tools/build.sh"
. "$root/tools/wine-env.sh"
trap wine_env_stop EXIT
# A prefix of its own: the tests expect no imaging library in system32.
wine_env_init "$build" mainjob-prefix
xvfb_start 24
wineserver -p
wine_services_start

# The product's layout: windows/system32 and windows/twain_32/Talvenix.
cmake --install "$build" --prefix "$WINEPREFIX/drive_c" >/dev/null
# Wine 8's manager only looks at twain_32\sane.ds and twain_32\gphoto2.ds,
# so the source is installed under the first of those names as well.
cp "$WINEPREFIX/drive_c/windows/twain_32/Talvenix/Twain_32.ds" "$WINEPREFIX/drive_c/windows/twain_32/sane.ds"

echo "# sources found by the Data Source Manager:"
wine "$build/bin/twacquire.exe" --list
echo "# identity of the source:"
wine "$build/bin/twacquire.exe" --identity

out="$build/acquired"
rm -rf "$out"
for mech in native memory file; do
    echo "# acquiring by $mech transfer:"
    wine "$build/bin/twacquire.exe" --unattended --mech "$mech" --count 2 --out "$(winepath -w "$out/$mech")"
done
echo "# images are in $out"
