#!/bin/sh
# Prepares an installed Quillmark program folder for this machine; the
# package runs it on installation, a plain `cmake --install` needs it once
# by hand (as root). Safe to run again: what exists is kept.
#
#   quillmark-setup [PROGRAM_FOLDER]    default: the folder above this script
#
# - the demo code-signing certificate in sdk-bin/certstore/, made here so
#   that every machine has a key of its own;
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
set -eu

folder=${1:-$(cd "$(dirname "$0")/.." && pwd)}
folder=${folder%/}
program=$folder/quillmark
maker=$folder/libexec/quillmark-make-demo-cert
certificate=$folder/sdk-bin/certstore/quillmark-demo-code-signing.pfx
settings=$folder/Quillmark.ini
projects=$folder/Projects

say() { printf 'quillmark-setup: %s\n' "$*"; }
fail() { printf 'quillmark-setup: %s\n' "$*" >&2; exit 1; }

[ -x "$program" ] || fail "$folder does not hold an installed Quillmark (no $program)"
[ "$(id -u)" -eq 0 ] || fail "run this as root: it sets access for the administrators' groups"

# An administrator may write in the program folder, so no name there is
# trusted to be what it seems: links are never followed and a file is only
# ever created under a fresh name and renamed into place.
not_a_link() { [ ! -L "$1" ] || fail "$1 is a symbolic link; remove it and run this again"; }

not_a_link "$folder/sdk-bin"
not_a_link "$folder/sdk-bin/certstore"
not_a_link "$certificate"
"$maker" "$certificate"

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
# The demo certificate's key stays readable by its owner only.
chmod 0600 "$certificate"

groups=
for group in sudo wheel admin; do
  getent group "$group" >/dev/null && groups="$groups $group"
done
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
  for stored in "$folder"/sdk-bin/certstore/*.pfx "$folder"/sdk-bin/certstore/*.p12; do
    [ -f "$stored" ] && [ ! -L "$stored" ] && setfacl -P -m "g:$group:r" "$stored"
  done
done
say "members of$groups may use Quillmark's settings, projects and demo certificate"
