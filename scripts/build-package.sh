#!/usr/bin/env bash
# Builds the Debian package into build-package/ (or $QUILLMARK_PACKAGE_DIR):
# a release build without the tests, with the help file Quillmark.chm and
# Debian's hardening flags, then `cpack -G DEB`, and checks it with lintian.
# Install the result as README.Debian says (osslsigncode from bookworm-backports).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLMARK_PACKAGE_DIR:-$root/build-package}

# The help compiler chmcmd (fp-utils, with Free Pascal's sources some 250 MB)
# and cmark-gfm are needed here only; dpkg-dev finds the libraries the
# package depends on (through `file`, which CPack runs on each binary) and
# gives the distribution's compiler flags; lintian checks the result.
"$root/scripts/install-deps.sh" fp-utils cmark-gfm dpkg-dev file lintian

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$root")} CCACHE_NOHASHDIR=1
fi
# Debian's hardening: fortify (CPPFLAGS), the stack protector, read-only
# relocations and immediate binding (bindnow), position-independent code.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLMARK_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
  -DQUILLMARK_BUILD_HELP=ON -DCMAKE_INSTALL_PREFIX=/opt/quillmark "${launcher[@]}" >/dev/null
# From scratch, so that build.log holds every compiler message (ccache
# answers for what did not change).
cmake --build "$build" -j"$(nproc)" --clean-first 2>&1 | tee "$build/build.log"
cd "$build"
rm -f quillmark_*.deb
cpack -G DEB
deb=$(ls "$build"/quillmark_*.deb)
bash "$root/packaging/debian/own-program-folder-only.sh" "$deb"
ls -l "$deb"

# E: errors and W: warnings fail the build; overrides carry their reason in
# packaging/debian/lintian-overrides.
echo "lintian $deb"
if lintian --fail-on error,warning "$deb"; then
  echo "lintian: no errors, no warnings"
else
  echo "lintian found errors or warnings in $deb" >&2
  exit 1
fi
