#!/usr/bin/env bash
# Configures (the dev preset: every test program) and builds everything into
# BUILD_DIR (default: build).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${BUILD_DIR:-$root/build}")"
cd "$root"
cmake --preset dev -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" "$@"
