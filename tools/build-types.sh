#!/usr/bin/env bash
# Every build type builds with warnings as errors, test programs included:
# Debug, Release and MinSizeRel, each into BUILD_DIR/types/<type> (the
# development build, tools/build.sh, is RelWithDebInfo; tools/package.sh
# builds the release preset without the tests). Run by CI.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${BUILD_DIR:-$root/build}")"
"$root/tools/setup-debian.sh"
cd "$root"
failed=()
for type in Debug Release MinSizeRel; do
    echo "# build type $type"
    if ! { cmake --preset dev -B "$build/types/$type" -DCMAKE_BUILD_TYPE="$type" >/dev/null &&
           cmake --build "$build/types/$type" -j"$(nproc)"; }; then
        failed+=("$type")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: build types ${failed[*]}"
    exit 1
fi
echo "build types Debug, Release, MinSizeRel: built"
