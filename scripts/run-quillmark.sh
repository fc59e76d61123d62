#!/usr/bin/env bash
# Builds Quillmark with its stand-in SDK tools and starts it. On the first
# start it writes a settings file that points the program at the stand-ins,
# so a newcomer can sign at once with the demo certificate.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLMARK_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
QUILLMARK_BUILD_DIR=$build "$root/scripts/build.sh" \
  --target quillmark quillmark_signtool quillmark_pvk2pfx quillmark_demo_cert

program_folder=$build/src
settings=$program_folder/Quillmark.ini
if [[ ! -e $settings ]]; then
  printf '[Settings]\nSDKBinFolder=%s/\n' "$build/sdk-bin" >"$settings"
  echo "Wrote $settings (signing tools: $build/sdk-bin/)"
fi

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  echo "Quillmark is built at $program_folder/quillmark but there is no display to show it on." >&2
  echo "Run it from a desktop session, or under a virtual display:" >&2
  echo "  xvfb-run -a $program_folder/quillmark" >&2
  exit 2
fi
exec "$program_folder/quillmark"
