#!/usr/bin/env bash
# Screenshots of the settings dialog with its live preview, on each page, on a
# colour and an RGB board, for the README: docs/settings-*.png.
#   tools/screenshots.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
. "$root/tools/wine-env.sh"
trap wine_env_stop EXIT
wine_env_init "$build"
xvfb_start 24
wineserver -p
wine_services_start

shots="$WINEPREFIX/drive_c/shots"
rm -rf "$shots" && mkdir -p "$shots" "$root/docs"
(cd "$build/bin" && TALVENIX_SHOTS='C:\shots' wine ui_tests.exe --gtest_also_run_disabled_tests \
    --gtest_filter='DISABLED_Screenshots.*' </dev/null >"$shots/run.txt" 2>&1) &
runner=$!
for name in colour-composite colour-video-norm rgb-references rgb-video-norm; do
    for _ in $(seq 1 300); do
        [ -e "$shots/$name.ready" ] && break
        sleep 0.1
    done
    [ -e "$shots/$name.ready" ] || { echo "screenshots: pose $name never came" >&2; cat "$shots/run.txt" >&2; exit 1; }
    sleep 1  # a few frames of the live picture
    import -window root -crop 1100x1024+0+0 +repage "$root/docs/settings-$name.png"
    touch "$shots/$name.done"
    echo "docs/settings-$name.png"
done
wait "$runner"
