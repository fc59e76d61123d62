#!/usr/bin/env bash
# Installs the Debian packages Quillmark needs to build, run and test,
# asking apt only when something is missing. Extra package names given as
# arguments are installed too (the package build adds its own).
#
# Sourced (as tests/package/check-install-deps.sh does) it only defines its
# functions.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libssl-dev openssl osslsigncode ca-certificates
  librsvg2-bin
  xvfb xauth fonts-liberation2 fonts-dejavu-core fonts-dejavu-extra
  desktop-file-utils appstream acl libcap2-bin
  libp11-dev libp11-kit-dev p11-kit libengine-pkcs11-openssl
  softhsm2 opensc
  wixl gcab zip
  python3 python3-pefile python3-asn1crypto
  clang libclang-rt-14-dev
  "$@"
)

# signtool.exe needs osslsigncode 2.9 (PKCS#11 modules, a time stamp added
# to one signature of several); Debian 12 ships 2.5 and has 2.9 in its
# backports suite, which is added from the mirror the system already uses.
osslsigncode_minimum=2.9
osslsigncode_recent_enough() {
  local version
  version=$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null) || return 1
  [[ -n $version ]] && dpkg --compare-versions "$version" ge "$osslsigncode_minimum~"
}

# The files apt reads its sources from, below APT_FOLDER (/etc/apt); apt
# ignores other names in sources.list.d (such as *.list.disabled).
sources_files() { # APT_FOLDER
  local file
  for file in "$1/sources.list" "$1"/sources.list.d/*.list "$1"/sources.list.d/*.sources; do
    if [[ -f $file ]]; then printf '%s\n' "$file"; fi
  done
}

# The sources files below APT_FOLDER holding an enabled binary ("deb") entry
# for SUITE, one a line: one-line entries ("deb [OPTIONS] URI SUITE ...") in
# *.list files, stanzas ("Types:", "Suites:", "Enabled:") in *.sources files.
# apt warns "configured multiple times" about a second entry of the same
# suite, so none is ever added beside one of these.
sources_with_suite() { # APT_FOLDER SUITE
  local file
  while IFS= read -r file; do
    if [[ $file == *.sources ]]; then
      awk -v suite="$2" '
        function finish() {
          if (index(" " types " ", " deb ") && index(" " suites " ", " " suite " ") && tolower(enabled) != "no")
            found = 1
          types = suites = enabled = field = ""
        }
        /^#/ { next }
        /^[ \t]*$/ { finish(); next }
        /^[ \t]/ { if (field == "types") types = types " " $0; else if (field == "suites") suites = suites " " $0; next }
        {
          colon = index($0, ":")
          field = tolower(substr($0, 1, colon - 1))
          value = substr($0, colon + 1)
          gsub(/[ \t]+/, " ", value)
          if (field == "types") types = value
          else if (field == "suites") suites = value
          else if (field == "enabled") { gsub(/ /, "", value); enabled = value }
        }
        END { finish(); exit !found }' "$file" && printf '%s\n' "$file"
    else
      awk -v suite="$2" '
        { sub(/#.*/, "") }
        $1 == "deb" {
          i = 2
          if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
          if ($(i + 1) == suite) found = 1
        }
        END { exit !found }' "$file" && printf '%s\n' "$file"
    fi
  done < <(sources_files "$1")
  return 0
}

# The backports suite's file: the same name as in README.md and
# README.Debian, so that following either never adds a second entry.
backports_file() { # APT_FOLDER CODENAME
  printf '%s/sources.list.d/%s-backports.sources\n' "$1" "$2"
}

# An earlier version of this script wrote the suite under a name of its own.
# Beside another entry (the README's, say) it is removed; alone it takes the
# common name.
retire_earlier_backports_file() { # APT_FOLDER CODENAME
  local earlier=$1/sources.list.d/quillmark-backports.sources others
  [[ -f $earlier ]] || return 0
  others=$(sources_with_suite "$1" "$2-backports" | grep -vxF "$earlier" || true)
  if [[ -n $others ]]; then
    echo "Removing $earlier: $2-backports is configured in $others too"
    rm -f "$earlier"
  elif [[ ! -e $(backports_file "$1" "$2") ]]; then
    mv "$earlier" "$(backports_file "$1" "$2")"
  fi
}

debian_mirror() { # APT_FOLDER
  local sources
  mapfile -t sources < <(sources_files "$1")
  ((${#sources[@]})) || return 0
  grep -hoE '(URIs:[[:space:]]*|^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?)[a-z]+://[^[:space:]]+/debian/?([[:space:]]|$)' \
    "${sources[@]}" 2>/dev/null | grep -oE '[a-z]+://[^[:space:]]+' | head -n1
}

# Adds CODENAME-backports (Debian 12: bookworm) from the mirror in use,
# unless some sources file has it already. False when there is nothing to
# add it for.
enable_backports() { # APT_FOLDER CODENAME
  local apt=$1 codename=$2 mirror configured
  [[ $codename == bookworm ]] || return 1
  retire_earlier_backports_file "$apt" "$codename"
  configured=$(sources_with_suite "$apt" "$codename-backports")
  if [[ -n $configured ]]; then
    echo "${codename}-backports is configured already (${configured//$'\n'/, })"
    return 0
  fi
  mirror=$(debian_mirror "$apt")
  [[ -n $mirror ]] || return 1
  echo "Adding ${codename}-backports (from $mirror) for osslsigncode $osslsigncode_minimum"
  printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$mirror" "$codename" >"$(backports_file "$apt" "$codename")"
}

# What a user who cannot install packages is told: the commands to run as
# root. osslsigncode comes from the backports suite where the release's own
# is too old (Debian 12).
install_advice() { # CODENAME OSSLSIGNCODE_TOO_OLD(yes|no) MISSING_PACKAGE...
  local codename=$1 too_old=$2 package from_backports=
  shift 2
  local plain=() needed=()
  if [[ $too_old == yes && $codename == bookworm ]]; then from_backports=1; fi
  for package in "$@"; do
    if [[ $package != osslsigncode ]]; then plain+=("$package"); fi
  done
  if [[ -z $from_backports && ($too_old == yes || " $* " == *" osslsigncode "*) ]]; then plain+=(osslsigncode); fi
  needed=("${plain[@]}")
  if [[ -n $from_backports ]]; then needed+=("osslsigncode >= $osslsigncode_minimum"); fi
  echo "Debian packages are missing or too old: ${needed[*]}."
  echo "Run this script as root, or these commands:"
  echo "  apt-get update"
  if ((${#plain[@]})); then echo "  apt-get install -y --no-install-recommends ${plain[*]}"; fi
  if [[ -n $from_backports ]]; then
    echo "  apt-get install -y --no-install-recommends -t $codename-backports osslsigncode"
    echo "osslsigncode $osslsigncode_minimum comes from $codename-backports ($codename's own is older):" \
         "enable that suite first (README.md, \"Installing Quillmark\"); this script does it when run as root."
  fi
}

if [[ ${BASH_SOURCE[0]} != "$0" ]]; then
  return 0
fi

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [[ $(id -u) -eq 0 && $codename == bookworm ]]; then
  retire_earlier_backports_file /etc/apt "$codename"
fi
if ((${#missing[@]})) || ! osslsigncode_recent_enough; then
  if [[ $(id -u) -ne 0 ]]; then
    too_old=no
    osslsigncode_recent_enough || too_old=yes
    install_advice "$codename" "$too_old" "${missing[@]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  osslsigncode_recent_enough || enable_backports /etc/apt "$codename" || true
  apt-get update
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
  if ! osslsigncode_recent_enough; then
    apt-get install -y --no-install-recommends -t "$codename-backports" osslsigncode ||
      echo "osslsigncode $osslsigncode_minimum or later is not available; signing with tokens and time stamps will fail." >&2
  fi
fi
