#!/usr/bin/env bash
# Configures and builds Quillmark into build/ (or $QUILLMARK_BUILD_DIR).
# Extra arguments go to `cmake --build`, e.g. --target quillmark.
# When ccache is installed it caches compilations, shared between checkouts
# of the same parent folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLMARK_BUILD_DIR:-$root/build}

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$root")} CCACHE_NOHASHDIR=1
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" "$@"
