#!/usr/bin/env bash
# Builds the Debian package into build-package/ (or $QUILLMARK_PACKAGE_DIR):
# a release build without the tests, with the help file Quillmark.chm, then
# `cpack -G DEB`. Install the result with `apt install ./build-package/quillmark_*.deb`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLMARK_PACKAGE_DIR:-$root/build-package}

# The help compiler chmcmd (fp-utils, with Free Pascal's sources some 250 MB)
# and cmark-gfm are needed here only; dpkg-dev finds the libraries the
# package depends on.
"$root/scripts/install-deps.sh" fp-utils cmark-gfm dpkg-dev

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$root")} CCACHE_NOHASHDIR=1
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLMARK_BUILD_TESTS=OFF \
  -DQUILLMARK_BUILD_HELP=ON -DCMAKE_INSTALL_PREFIX=/opt/quillmark "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
cpack -G DEB
ls -l "$build"/quillmark_*.deb
