#!/usr/bin/env bash
# Builds the Windows program on this Debian machine: installs the cross
# compiler and what the build needs (scripts/setup.sh --windows), cross-builds
# build/windows with SDL2 made from Debian's own source package, and leaves
# build/windows/quillfern.zip: quillfern.exe, SDL2.dll and the production's
# packs, to unpack and run on Windows.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --windows
cmake --preset windows
cmake --build --preset windows --target windows_zip
echo "build/windows/quillfern.zip"
