#!/usr/bin/env bash
# Configures and builds Quillmark into build/ (or $QUILLMARK_BUILD_DIR).
# Extra arguments go to `cmake --build`, e.g. --target quillmark.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLMARK_BUILD_DIR:-$root/build}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" "$@"
