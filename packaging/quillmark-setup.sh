#!/bin/sh
# Prepares an installed Quillmark program folder for this machine; the
# package runs it on installation, a plain `cmake --install` needs it once
# by hand (as root). Safe to run again: what exists is kept.
#
#   quillmark-setup [--upgrade] [PROGRAM_FOLDER]
#   quillmark-setup --add-certificate FILE.pfx [PROGRAM_FOLDER]
#
# PROGRAM_FOLDER defaults to the folder above this script.
# - the demo code-signing certificate in sdk-bin/certstore/, made here so
#   that every machine has a key of its own; only on a first installation
#   (--upgrade: the package was installed before), never again once removed
#   (the maker remembers it made one), and never beside a certificate of the
#   store's own;
# - the settings file Quillmark.ini, pointing at the stand-in tools;
# - the Projects/ folder;
# - the program folder, the program, sdk-bin/ with the tools and libexec/
#   made root's alone: owned by root, writable by no one else, with no ACL
#   entries (an older set-up gave the groups write access there). Root runs
#   these programs, so whoever could change them could run their own code as
#   root; and the groups below are not root on every machine;
# - for every group whose members Quillmark lets in (sudo, wheel and admin,
#   where they exist) access to the data only: read and write on the
#   settings file, which the program then rewrites in place (the folder
#   takes no new file from them), read, write and a default entry for every
#   new file on Projects/, and read on the certificate store's files. Root
#   needs nothing extra.
# --add-certificate installs a PFX file without a password into the store
# (mode 0640, readable by those groups) after checking that it holds a
# certificate with its key, valid now and usable for code signing. The
# checker reads the file: a symbolic link on its path is followed only when
# root owns it, and a file over 16 MB is refused unread.
set -eu

say() { printf 'quillmark-setup: %s\n' "$*"; }
fail() { printf 'quillmark-setup: %s\n' "$*" >&2; exit 1; }

upgrade=
add_certificate=
case ${1:-} in
  --upgrade) upgrade=1; shift ;;
  --add-certificate)
    [ $# -ge 2 ] || fail "usage: $0 --add-certificate FILE.pfx [PROGRAM_FOLDER]"
    add_certificate=$2; shift 2 ;;
  -*) fail "unknown option $1 (usage: $0 [--upgrade | --add-certificate FILE.pfx] [PROGRAM_FOLDER])" ;;
esac

folder=${1:-$(cd "$(dirname "$0")/.." && pwd)}
folder=${folder%/}
program=$folder/quillmark
maker=$folder/libexec/quillmark-make-demo-cert
checker=$folder/libexec/quillmark-check-certificate
store=$folder/sdk-bin/certstore
certificate=$store/quillmark-demo-code-signing.pfx
settings=$folder/Quillmark.ini
projects=$folder/Projects

[ -x "$program" ] || fail "$folder does not hold an installed Quillmark (no $program)"
[ "$(id -u)" -eq 0 ] || fail "run this as root: it sets access for the administrators' groups"

# An administrator may write in the program folder, so no name there is
# trusted to be what it seems: links are never followed and a file is only
# ever created under a fresh name and renamed into place.
not_a_link() { [ ! -L "$1" ] || fail "$1 is a symbolic link; remove it and run this again"; }

# The groups whose members Quillmark lets in, those this machine has.
admin_groups() {
  for group in sudo wheel admin; do
    if getent group "$group" >/dev/null; then printf ' %s' "$group"; fi
  done
}

# A certificate file of the store: root's, read for the administrators'
# groups, nothing for anyone else.
grant_certificate_access() {
  chown root:root "$1"
  chmod 0640 "$1"
  command -v setfacl >/dev/null || return 0
  for group in $(admin_groups); do
    setfacl -P -m "g:$group:r" "$1"
  done
}

# The demo certificate: the maker makes it only in a store that never had
# one and holds none of its own. An upgrade never makes it (an older
# package did not remember a removal), but lets the maker remember one that
# is there.
make_demo_certificate() {
  not_a_link "$certificate"
  if [ -z "$upgrade" ] || [ -e "$certificate" ]; then
    "$maker" "$certificate"
  fi
  if [ -e "$certificate" ]; then grant_certificate_access "$certificate"; fi
}

# --add-certificate: the checker hands on the bytes it checked; they go to
# a fresh file (noclobber: O_EXCL, never through a link) that gets its
# owner, mode and group entries before it takes its name, and the hard link
# never replaces what is there.
add_certificate_to_store() {
  name=$(basename "$1")
  case $name in
    *.[pP][fF][xX] | *.[pP]12) ;;
    *) name=$name.pfx ;;
  esac
  target=$store/$name
  if [ -e "$target" ] || [ -L "$target" ]; then
    fail "$target is already there; remove it first to replace it"
  fi
  fresh=$store/.add-certificate-$$.tmp
  if ! checked=$( (umask 077; set -C; exec "$checker" "$1" 2>&1 >"$fresh") ); then
    rm -f "$fresh"
    fail "$checked"
  fi
  grant_certificate_access "$fresh"
  if ! ln -T "$fresh" "$target" 2>/dev/null; then
    rm -f "$fresh"
    fail "cannot add $target (is something there now?)"
  fi
  rm -f "$fresh"
  say "added $target: $checked"
  groups=$(admin_groups)
  if [ -z "$groups" ]; then
    say "no group sudo, wheel or admin on this machine: only root can sign with it"
  elif ! command -v setfacl >/dev/null; then
    say "setfacl is missing (package acl): only root can sign with it until you install acl and add it again" >&2
  else
    say "members of$groups may sign with it"
  fi
}

not_a_link "$folder/sdk-bin"
not_a_link "$store"
if [ -n "$add_certificate" ]; then
  add_certificate_to_store "$add_certificate"
  exit 0
fi
make_demo_certificate

not_a_link "$settings"
if [ ! -e "$settings" ]; then
  # Made exclusively (noclobber opens with O_EXCL, which never follows a
  # link) with its final mode, so nothing is changed by name afterwards;
  # the rename puts the complete file in place.
  fresh=$folder/.Quillmark.ini.setup-$$
  (umask 022; set -C; printf '[Settings]\nSDKBinFolder=%s/sdk-bin/\n' "$folder" >"$fresh") ||
    fail "cannot create $fresh"
  mv -f "$fresh" "$settings"
  say "wrote $settings (signing tools: $folder/sdk-bin/)"
fi

not_a_link "$projects"
[ -d "$projects" ] || mkdir -m 0755 "$projects"

# What root runs stays root's: -P never follows a link, -b drops every ACL
# entry (default ones included), and the write bits go for all but root.
# The folder itself alone (its data keep their own), what lies below it
# for the program's parts.
root_only() { # PATH [-R]
  recursive=${2-}
  chown -P $recursive root:root "$1"
  if command -v setfacl >/dev/null; then setfacl -P $recursive -b "$1"; fi
  chmod $recursive go-w "$1"
}
root_only "$folder"
for part in "$program" "$folder/Quillmark.chm" "$folder/sdk-bin" "$folder/libexec"; do
  [ -e "$part" ] || [ -L "$part" ] || continue
  not_a_link "$part"
  root_only "$part" -R
done
# The store's certificates lost their group entries with the ACLs above:
# root's, read for the administrators' groups again.
for stored in "$store"/*.pfx "$store"/*.p12; do
  if [ -f "$stored" ] && [ ! -L "$stored" ]; then grant_certificate_access "$stored"; fi
done

groups=$(admin_groups)
if [ -z "$groups" ]; then
  say "no group sudo, wheel or admin on this machine: only root can use Quillmark"
  exit 0
fi
if ! command -v setfacl >/dev/null; then
  say "setfacl is missing (package acl): the members of$groups cannot save settings or" \
      "projects until you install it and run $0 again" >&2
  exit 0
fi
for group in $groups; do
  # -P: never follow a symbolic link. The default entries give the group the
  # same access to every project made there later: the program replaces a
  # project with a new file each time it saves.
  setfacl -P -m "g:$group:rwx,d:g:$group:rwX" "$projects"
  setfacl -P -m "g:$group:rw" "$settings"
done
say "members of$groups may use Quillmark's settings, projects and certificate store"
