#!/usr/bin/env bash
# Rewrites the package built by CPack so that it lists /opt/quillmark and
# below, but not /opt itself: a package that lists /opt owns it, and dpkg
# removes it on purge when it is empty. (Every Debian system has /opt: the
# base-files package makes it.) The control part stays as it is.
#
#   own-program-folder-only.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

dpkg-deb --raw-extract "$deb" "$work/tree"
tar_options=(--owner=0 --group=0 --numeric-owner --sort=name --format=gnu)
(cd "$work/tree/DEBIAN" && tar "${tar_options[@]}" -cJf "$work/control.tar.xz" ./*)
parts=()
for part in opt/quillmark usr; do
  if [[ -e $work/tree/$part ]]; then parts+=("./$part"); fi
done
(cd "$work/tree" && tar "${tar_options[@]}" -cJf "$work/data.tar.xz" "${parts[@]}")
echo 2.0 >"$work/debian-binary"
(cd "$work" && ar rc new.deb debian-binary control.tar.xz data.tar.xz)
mv -f "$work/new.deb" "$deb"
