#!/usr/bin/env bash
# Installs the Debian packages Quillmark needs to build, run and test,
# asking apt only when something is missing. Extra package names given as
# arguments are installed too (the package build adds its own).
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

debian_mirror() {
  local sources=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
  grep -hoE '(URIs:[[:space:]]*|^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?)[a-z]+://[^[:space:]]+/debian/?([[:space:]]|$)' \
    "${sources[@]}" 2>/dev/null | grep -oE '[a-z]+://[^[:space:]]+' | head -n1
}

enable_backports() {
  local codename mirror list=/etc/apt/sources.list.d/quillmark-backports.sources
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  mirror=$(debian_mirror)
  if [[ $codename != bookworm || -z $mirror || -e $list ]]; then
    return 1
  fi
  echo "Adding ${codename}-backports (from $mirror) for osslsigncode $osslsigncode_minimum"
  printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$mirror" "$codename" >"$list"
}

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})) || ! osslsigncode_recent_enough; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "Debian packages are missing or too old (${missing[*]:-osslsigncode < $osslsigncode_minimum});" \
         "run this as root or install them first." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  osslsigncode_recent_enough || enable_backports || true
  apt-get update
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
  if ! osslsigncode_recent_enough; then
    apt-get install -y --no-install-recommends -t "$(. /etc/os-release && echo "$VERSION_CODENAME")-backports" osslsigncode ||
      echo "osslsigncode $osslsigncode_minimum or later is not available; signing with tokens and time stamps will fail." >&2
  fi
fi
