#!/usr/bin/env bash
# Builds Quillmark and runs every test through CTest, headless.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLMARK_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
QUILLMARK_BUILD_DIR=$build "$root/scripts/build.sh"

export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure -j"$(nproc)"
