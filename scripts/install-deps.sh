#!/usr/bin/env bash
# Installs the Debian packages that the build, the program and the tests need, when missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ make pkg-config clang-format
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev
  libjpeg62-turbo-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  pxlib-dev libsqlite3-dev nlohmann-json3-dev
  dpkg-dev file desktop-file-utils groff-base
  xvfb xauth imagemagick fonts-wine fonts-dejavu-core
  qt6-translations-l10n chromium locales
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
