#!/usr/bin/env bash
# Installs the Debian packages Quillmark needs to build, run and test,
# asking apt only when something is missing. Extra package names given as
# arguments are installed too (the package build adds its own).
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libssl-dev openssl osslsigncode
  librsvg2-bin
  xvfb xauth fonts-liberation2 fonts-dejavu-core fonts-dejavu-extra
  desktop-file-utils appstream acl
  libp11-dev libp11-kit-dev p11-kit libengine-pkcs11-openssl
  softhsm2 opensc
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "These Debian packages are missing; run this as root or install them first." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
