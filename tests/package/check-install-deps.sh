#!/usr/bin/env bash
# scripts/install-deps.sh on made-up apt folders: which sources files count
# as holding bookworm-backports, that the suite is added only where none
# does (under the one name the READMEs use too), and what a user who cannot
# install packages is told to run.
#
#   check-install-deps.sh SOURCE_FOLDER
set -uo pipefail
source_folder=$1
# shellcheck source=../../scripts/install-deps.sh
source "$source_folder/scripts/install-deps.sh"
set +e

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# apt_folder NAME FILE CONTENT [FILE CONTENT]...: a fresh fake /etc/apt.
apt_folder() {
  local folder=$work/$1
  shift
  mkdir -p "$folder/sources.list.d"
  while (($#)); do
    printf '%s\n' "$2" >"$folder/$1"
    shift 2
  done
  printf '%s\n' "$folder"
}

mirror='Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main'

# found NAME EXPECTED_FILES... : sources_with_suite names exactly these.
expect_found() {
  local folder=$1 name=$2
  shift 2
  local found expected=""
  found=$(sources_with_suite "$folder" bookworm-backports | sed "s|^$folder/||" | sort | tr '\n' ' ')
  if (($#)); then expected=$(printf '%s\n' "$@" | sort | tr '\n' ' '); fi
  [[ $found == "$expected" ]] || fail "$name: found [${found% }], expected [${expected% }]"
}

f=$(apt_folder none sources.list.d/debian.sources "$mirror")
expect_found "$f" "the release's own suites only"
f=$(apt_folder list sources.list 'deb http://deb.debian.org/debian bookworm-backports main')
expect_found "$f" "a line in sources.list" sources.list
f=$(apt_folder readme sources.list.d/bookworm-backports.list \
      'deb [ arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg ] http://ftp.de.debian.org/debian bookworm-backports main contrib')
expect_found "$f" "a line with options in a .list file" sources.list.d/bookworm-backports.list
f=$(apt_folder options sources.list.d/b.list 'deb [arch=amd64] http://deb.debian.org/debian bookworm-backports main')
expect_found "$f" "a line with one option" sources.list.d/b.list
f=$(apt_folder commented sources.list.d/old.list '# deb http://deb.debian.org/debian bookworm-backports main
deb-src http://deb.debian.org/debian bookworm-backports main')
expect_found "$f" "a commented line and a source-package line"
f=$(apt_folder stanza sources.list.d/debian.sources "$mirror

Types: deb deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main")
expect_found "$f" "a second stanza of a .sources file" sources.list.d/debian.sources
f=$(apt_folder suites sources.list.d/all.sources 'Types: deb
URIs: http://deb.debian.org/debian
suites: bookworm
  bookworm-backports
Components: main')
expect_found "$f" "a continued Suites: field, in lower case" sources.list.d/all.sources
f=$(apt_folder disabled sources.list.d/b.sources 'Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Enabled: no
Components: main')
expect_found "$f" "a stanza with Enabled: no"
f=$(apt_folder ignored sources.list.d/b.list.disabled 'deb http://deb.debian.org/debian bookworm-backports main' \
      sources.list.d/b.sources.save 'Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports')
expect_found "$f" "files apt does not read"
f=$(apt_folder twice sources.list.d/bookworm-backports.list 'deb http://deb.debian.org/debian bookworm-backports main' \
      sources.list.d/quillmark-backports.sources 'Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main')
expect_found "$f" "two files" sources.list.d/bookworm-backports.list sources.list.d/quillmark-backports.sources

# enable_backports adds the suite once, from the mirror in use, under the
# name the READMEs use; never beside an entry that is there.
f=$(apt_folder add sources.list.d/debian.sources "${mirror/deb.debian.org/ftp.fr.debian.org}")
enable_backports "$f" bookworm >/dev/null || fail "enable_backports failed on a machine without the suite"
added=$f/sources.list.d/bookworm-backports.sources
grep -qx 'URIs: http://ftp.fr.debian.org/debian' "$added" 2>/dev/null ||
  fail "the suite was not added from the mirror in use as $added"
expect_found "$f" "after adding" sources.list.d/bookworm-backports.sources
enable_backports "$f" bookworm >/dev/null
expect_found "$f" "after adding twice" sources.list.d/bookworm-backports.sources
f=$(apt_folder present sources.list.d/debian.sources "$mirror" sources.list 'deb http://deb.debian.org/debian bookworm-backports main')
message=$(enable_backports "$f" bookworm)
[[ ! -e $f/sources.list.d/bookworm-backports.sources && $message == *"configured already"*"sources.list"* ]] ||
  fail "the suite was added beside the entry in sources.list (said: $message)"
# What an earlier version of the script wrote goes where it doubles
# another entry, and takes the common name where it is alone.
f=$(apt_folder doubled sources.list.d/bookworm-backports.list 'deb http://deb.debian.org/debian bookworm-backports main' \
      sources.list.d/quillmark-backports.sources 'Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main')
enable_backports "$f" bookworm >/dev/null
expect_found "$f" "a doubled entry of an earlier version" sources.list.d/bookworm-backports.list
f=$(apt_folder earlier sources.list.d/quillmark-backports.sources 'Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main')
enable_backports "$f" bookworm >/dev/null
expect_found "$f" "an earlier version's entry alone" sources.list.d/bookworm-backports.sources
f=$(apt_folder trixie sources.list.d/debian.sources "${mirror//bookworm/trixie}")
enable_backports "$f" trixie >/dev/null && fail "backports added on trixie, which needs none"

# The READMEs write the same file as the script.
for readme in README.md packaging/debian/README.Debian; do
  grep -q '> */etc/apt/sources.list.d/bookworm-backports.sources' "$source_folder/$readme" ||
    fail "$readme does not write /etc/apt/sources.list.d/bookworm-backports.sources"
  grep -q 'sources.list.d/bookworm-backports.list' "$source_folder/$readme" &&
    fail "$readme still names bookworm-backports.list"
done

# A user who cannot install packages gets the commands to run as root.
advice=$(install_advice bookworm no qt6-base-dev softhsm2)
[[ $advice == *$'\n  apt-get install -y --no-install-recommends qt6-base-dev softhsm2'* ]] ||
  fail "no apt-get command for the missing packages: $advice"
[[ $advice != *backports* ]] || fail "backports named without need: $advice"
advice=$(install_advice bookworm yes libp11-dev osslsigncode)
[[ $advice == *$'\n  apt-get install -y --no-install-recommends libp11-dev\n'* ]] ||
  fail "osslsigncode among the release's packages: $advice"
[[ $advice == *$'\n  apt-get install -y --no-install-recommends -t bookworm-backports osslsigncode\n'* &&
   $advice == *"osslsigncode 2.9 comes from bookworm-backports"* ]] ||
  fail "no backports command for osslsigncode: $advice"
advice=$(install_advice bookworm yes)
[[ $advice == *"too old: osslsigncode >= 2.9."* && $advice != *"install -y --no-install-recommends osslsigncode"* ]] ||
  fail "an old osslsigncode alone: $advice"
advice=$(install_advice trixie yes)
[[ $advice == *$'\n  apt-get install -y --no-install-recommends osslsigncode'* && $advice != *backports* ]] ||
  fail "trixie's own osslsigncode: $advice"

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "install-deps.sh: sources detection, the one backports file and the advice checked"
