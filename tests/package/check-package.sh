#!/usr/bin/env bash
# Builds the package with scripts/build-package.sh (which fails on any
# lintian error or warning), unpacks it into a temporary root and checks
# what it holds.
#
#   check-package.sh SOURCE_FOLDER PACKAGE_BUILD_FOLDER
# Exit 77: skipped (tools missing).
set -uo pipefail
source=$1
build=$2

missing=()
for tool in dpkg-deb dpkg-buildflags dpkg-shlibdeps lintian file chmcmd cmark-gfm readelf; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]})); then
  echo "SKIP: the package build's tools are missing (${missing[*]}); scripts/build-package.sh installs them"
  exit 77
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! QUILLMARK_PACKAGE_DIR=$build bash "$source/scripts/build-package.sh"; then
  echo "FAIL: scripts/build-package.sh failed (lintian's findings are above)"
  exit 1
fi
deb=$(ls "$build"/quillmark_*.deb)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x $deb"; exit 1; }

# Owns /opt/quillmark and below, never /opt itself (dpkg would remove an
# empty /opt with the package).
listing=$(dpkg-deb -c "$deb")
listing=$(awk '{print $6}' <<<"$listing")
grep -qx './opt/' <<<"$listing" && fail "the package lists ./opt/ as its own"
grep -qx './opt/quillmark/' <<<"$listing" || fail "the package does not list ./opt/quillmark/"

# Installed where /opt is missing, into a scratch root of its own (unpacked
# only: configuring runs the set-up, which belongs to a real system), and
# purged again with a settings file made meanwhile, as the set-up would:
# /opt stays, the program folder goes. The maintainer scripts run outside a
# chroot there (the scratch root has no shell) and find the root in
# DPKG_ROOT.
scratch=$(mktemp -d)
trap 'rm -rf "$root" "$scratch"' EXIT
mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates"
touch "$scratch/var/lib/dpkg/status"
in_scratch() { dpkg --root="$scratch" --force-script-chrootless --force-depends "$@" 2>&1; }
if ! unpacked=$(in_scratch --unpack "$deb"); then
  fail "the package does not install where /opt is missing: $unpacked"
elif [[ ! -x $scratch/opt/quillmark/quillmark || $(stat -c '%a %U' "$scratch/opt") != "755 root" ]]; then
  fail "unpacked where /opt was missing, the program or /opt (root's, 0755) is not there"
elif ! echo '[Settings]' >"$scratch/opt/quillmark/Quillmark.ini" || ! removed=$(in_scratch --purge quillmark); then
  fail "the package does not purge from the scratch root: $removed"
else
  [[ -d $scratch/opt ]] || fail "purging the package left no /opt"
  [[ -e $scratch/opt/quillmark ]] && fail "purging the package left /opt/quillmark"
fi

# The package's version is the changelog's newest entry.
changelog_version=$(dpkg-parsechangelog -l "$source/packaging/debian/changelog" -S Version)
[[ $(dpkg-deb -f "$deb" Version) == "$changelog_version" ]] ||
  fail "the package's version $(dpkg-deb -f "$deb" Version) is not the changelog's $changelog_version"

# The package build compiles from scratch (its log holds every compiler
# message): no warnings under the distribution's flags.
if warnings=$(grep -E ': warning: ' "$build/build.log"); then
  fail "compiler warnings in the package build:"$'\n'"$warnings"
fi

for file in opt/quillmark/quillmark opt/quillmark/sdk-bin/signtool.exe opt/quillmark/sdk-bin/pvk2pfx.exe \
            opt/quillmark/libexec/quillmark-setup opt/quillmark/libexec/quillmark-make-demo-cert \
            opt/quillmark/libexec/quillmark-check-certificate opt/quillmark/Quillmark.chm \
            usr/share/doc/quillmark/copyright usr/share/doc/quillmark/changelog.gz \
            usr/share/doc/quillmark/README.Debian usr/share/man/man1/quillmark.1.gz \
            usr/share/man/man1/signtool.exe.1.gz usr/share/lintian/overrides/quillmark; do
  [[ -f $root/$file ]] || fail "$file is missing"
done
[[ $(readlink "$root/usr/share/man/man1/pvk2pfx.exe.1.gz") == signtool.exe.1.gz ]] ||
  fail "man pvk2pfx.exe does not lead to the tools' page"
[[ $(readlink "$root/usr/bin/quillmark") == /opt/quillmark/quillmark ]] || fail "no launcher /usr/bin/quillmark"

# The copyright file carries the licence of LICENSE, word for word.
licence_words=$(sed -n '/^Permission/,$p' "$source/LICENSE" | tr -s ' \n' '  ')
copyright_words=$(sed -n '/^ Permission/,$p' "$root/usr/share/doc/quillmark/copyright" | sed 's/^ \.$//; s/^ //' |
                  tr -s ' \n' '  ')
[[ $licence_words == "$copyright_words" ]] || fail "the copyright file's licence differs from LICENSE"
grep -q '^License: Expat' "$root/usr/share/doc/quillmark/copyright" || fail "the copyright file names no licence"

# Hardened and stripped: read-only relocations bound at start, position
# independent, the stack protector, no symbols; fortify comes with the
# compiler flags (lintian checks the functions). (Each tool's output is read
# whole: grep -q ending a pipe early would fail it under pipefail.)
for binary in opt/quillmark/quillmark opt/quillmark/sdk-bin/signtool.exe opt/quillmark/sdk-bin/pvk2pfx.exe \
              opt/quillmark/libexec/quillmark-make-demo-cert opt/quillmark/libexec/quillmark-check-certificate; do
  path=$root/$binary
  headers=$(readelf -hlW "$path")
  dynamic=$(readelf -dW "$path")
  symbols=$(readelf -sW --dyn-syms "$path")
  grep -q GNU_RELRO <<<"$headers" || fail "$binary: no RELRO"
  grep -q 'DYN (' <<<"$headers" || fail "$binary: not position independent"
  grep -Eq 'BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || fail "$binary: not bound now"
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$binary: no stack protector"
  [[ $(file -b "$path") == *", stripped"* ]] || fail "$binary: not stripped"
done
grep -q 'CMAKE_CXX_FLAGS:.*-D_FORTIFY_SOURCE=' "$build/CMakeCache.txt" || fail "built without _FORTIFY_SOURCE"

# Every line of the long description fits lintian's 80 columns.
awk 'length > 79 { bad = 1 } END { exit bad }' <<<"$(dpkg-deb -f "$deb" Description)" ||
  fail "a description line is longer than 79 characters"
[[ $(dpkg-deb -f "$deb" Depends) == *"osslsigncode (>= 2.9~)"* ]] || fail "no dependency on osslsigncode 2.9"

if ((failures)); then
  echo "$failures check(s) failed for $deb"
  exit 1
fi
echo "package $deb: lintian clean, layout, licence, hardening and description checked"
