#!/usr/bin/env bash
# The main job, the way a Windows user gets the source: set up, build the
# release and its installers (tools/package.sh), install silently with the
# MSI package and the simulated board library into a fresh Wine prefix of its
# own, as an administrator deploys it, and acquire through Wine's TWAIN Data
# Source Manager with the installed twacquire; then the same on a 64-bit
# Windows (a 64-bit prefix), installed with the setup program, through the
# 64-bit source with the installed twacquire64 and Wine's 64-bit manager.
# Between the two, a headless program's run: a region of a colour board with
# the whole setup saved, restored in a later run (and by the 64-bit source),
# each image checked against the simulated board's pattern.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${BUILD_DIR:-$root/build}")"
packages=$(BUILD_DIR="$build" "$root/tools/package.sh" | tail -2)
installer=$(echo "$packages" | head -1) msi=$(echo "$packages" | tail -1)
. "$root/tools/wine-env.sh"
trap wine_env_stop EXIT
# A fresh prefix of its own, as a machine that never had the source: the
# tests expect no imaging library in system32, and the installer must find
# none in place to install the simulated one.
rm -rf "$build/mainjob-prefix"
wine_env_init "$build" mainjob-prefix
xvfb_start 24
wineserver -p
wine_services_start

# The name and version of the product's uninstall entry, the setup program's
# (its key is the product's name) or the package's (the product code), in
# either registry view.
installed() {
    for view in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
                'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
        wine reg query "$view" /s 2>/dev/null | tr -d '\r'
    done | awk '
        function entry() { if (name == "Talvenix Orion TWAIN" && !found++) print name, version; name = version = "" }
        /^HKEY/ { entry() }
        /^ +DisplayName +REG_SZ/ { name = $0; sub(/^ +DisplayName +REG_SZ +/, "", name) }
        /^ +DisplayVersion +REG_SZ/ { version = $NF }
        END { entry() }'
}
seconds_since() { echo "$(date +%s.%N) $1" | awk '{ printf "%.1f", $1 - $2 }'; }

echo "# installing silently with $(basename "$msi") ($(stat -c %s "$msi") bytes), simulated board library included:"
start=$(date +%s.%N)
wine msiexec /i "$(winepath -w "$msi")" /qn ADDLOCAL=ALL
echo "installed $(installed) with msiexec /i $(basename "$msi") /qn ADDLOCAL=ALL in $(seconds_since "$start") s"

# Wine 8's manager only looks at twain_32\sane.ds and twain_32\gphoto2.ds,
# so the installed source is copied under the first of those names.
cp "$WINEPREFIX/drive_c/windows/twain_32/Talvenix/Twain_32.ds" "$WINEPREFIX/drive_c/windows/twain_32/sane.ds"
twacquire='C:\Program Files\Talvenix\Orion TWAIN\twacquire.exe'

echo "# sources found by the Data Source Manager:"
wine "$twacquire" --list
echo "# identity of the source:"
wine "$twacquire" --identity

# Two images by each mechanism with the installed program $1 into $2, then
# a PNG, a three-page TIFF and a short time-lapse by file transfer, each
# checked against the pattern.
acquire_each() {
    rm -rf "$2"
    for mech in native memory file; do
        echo "# acquiring by $mech transfer${3:-}:"
        wine "$1" --unattended --mech "$mech" --count 2 --out "$(winepath -w "$2/$mech")"
    done
    echo "# a PNG file${3:-}:"
    ORIONSIM_PATTERN=gradient wine "$1" --unattended --mech file --format png --check \
        --out "$(winepath -w "$2/png")"
    echo "# a three-page TIFF${3:-}:"
    ORIONSIM_PATTERN=gradient wine "$1" --unattended --mech file --format tiffmulti --count 3 --check \
        --out "$(winepath -w "$2/tiffmulti")"
    echo "# a time-lapse${3:-}: 5 images 200 ms apart, each the mean of 4 frames:"
    ORIONSIM_PATTERN=gradient wine "$1" --unattended --frames 5 --every 200 --average 4 --mech file --check \
        --out "$(winepath -w "$2/timelapse")"
    echo "# images are in $2"
}
acquire_each "$twacquire" "$build/acquired"

settings='HKCU\Software\Talvenix\Twain\Orion'
setup="$build/acquired/board.setup"
echo "# headless: a region of a colour board (PAL), the setup saved at the end:"
wine reg add "$settings" /v DigFormat /t REG_SZ /d M_PAL /f >/dev/null
ORIONSIM_PATTERN=gradient wine "$twacquire" --unattended --mech native --region 100,50,320,240 --check \
    --save-setup "$(winepath -w "$setup")" --out "$(winepath -w "$build/acquired/region")"
echo "# headless: a later run, the board left in CCIR, the setup restored:"
wine reg add "$settings" /v DigFormat /t REG_SZ /d M_CCIR /f >/dev/null
ORIONSIM_PATTERN=gradient wine "$twacquire" --unattended --mech file --load-setup "$(winepath -w "$setup")" --check \
    --out "$(winepath -w "$build/acquired/restored")"

echo "# a 64-bit Windows: installing silently into a fresh 64-bit prefix"
wine_env_stop
rm -rf "$build/mainjob-prefix64"
wine_env_init64 "$build" mainjob-prefix64
xvfb_start 24
wineserver -p
wine_services_start
echo "# installing silently with $(basename "$installer") ($(stat -c %s "$installer") bytes), simulated board library included:"
start=$(date +%s.%N)
wine "$installer" /S /SIMULATOR
echo "installed $(installed) with $(basename "$installer") /S /SIMULATOR in $(seconds_since "$start") s"
# Wine's 64-bit manager only looks at twain_64\sane.ds and gphoto2.ds.
cp "$WINEPREFIX/drive_c/windows/twain_64/Talvenix/Twain_64.ds" "$WINEPREFIX/drive_c/windows/twain_64/sane.ds"
twacquire64='C:\Program Files (x86)\Talvenix\Orion TWAIN\twacquire64.exe'
echo "# sources found by Wine's 64-bit Data Source Manager:"
wine "$twacquire64" --list
acquire_each "$twacquire64" "$build/acquired64" " in a 64-bit application"
echo "# headless in a 64-bit application: the setup the 32-bit source saved, restored:"
ORIONSIM_PATTERN=gradient wine "$twacquire64" --unattended --mech memory --load-setup "$(winepath -w "$setup")" \
    --check --out "$(winepath -w "$build/acquired64/restored")"
