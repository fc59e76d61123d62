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
# - write access to the program folder and Projects/ (the settings file and
#   projects are replaced by renaming a new file over the old one, so the
#   folders must be writable) and read access to the demo certificate for
#   every group whose members Quillmark lets in: sudo, wheel and admin,
#   where they exist. Root needs nothing extra.
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
  # same access to every file made there later: the program replaces the
  # settings file and a project with a new file each time it saves, and Qt
  # refuses to replace a file the user cannot write.
  setfacl -P -m "g:$group:rwx,d:g:$group:rwX" "$folder" "$projects"
  setfacl -P -m "g:$group:rw" "$settings"
  setfacl -P -m "g:$group:r" "$certificate"
done
say "members of$groups may use Quillmark's settings, projects and demo certificate"
