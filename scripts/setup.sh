#!/usr/bin/env bash
# Installs the Debian packages quillfern needs to build, test and play, when
# they are missing. Safe to run again.
set -euo pipefail
packages=(
  g++ cmake ninja-build pkg-config
  libsdl2-dev libstb-dev
  googletest libgtest-dev libbenchmark-dev libosmesa6-dev
  libglm-dev liblz4-dev python3 python3-pil python3-numpy valgrind
  fonts-dejavu-core xvfb xauth x11-apps imagemagick matchbox-window-manager clang-14
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
