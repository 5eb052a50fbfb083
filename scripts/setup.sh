#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the window tests need, or the
# packages named as arguments instead. Idempotent and non-interactive; runs as root or
# through sudo.
set -euo pipefail

packages=(
  g++ cmake ninja-build ccache pkg-config
  dpkg-dev file
  juce-modules-source
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth xdotool imagemagick x11-utils
  fonts-dejavu-core fonts-droid-fallback
  help2man lintian desktop-file-utils appstream
)
[ $# -eq 0 ] || packages=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
