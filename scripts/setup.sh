#!/usr/bin/env bash
# Installs the Debian packages quillfern needs to build, test and play, when
# they are missing. Safe to run again. With --windows also what the Windows
# build and its tests need (the mingw-w64 cross compiler, wine, dpkg-dev to
# unpack SDL2's source package); scripts/test.sh asks for it, playing does not.
set -euo pipefail
packages=(
  g++ cmake ninja-build pkg-config
  libsdl2-dev libstb-dev
  googletest libgtest-dev libbenchmark-dev libosmesa6-dev
  libglm-dev liblz4-dev python3 python3-pil python3-numpy valgrind
  fonts-dejavu-core xvfb xauth x11-apps imagemagick matchbox-window-manager clang-14 clang-format-14
)
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev)
fi
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
