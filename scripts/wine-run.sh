#!/usr/bin/env bash
# Runs a program of the Windows build under wine: what CMake and ctest put in
# front of every Windows program they start (the build's cross-compiling
# emulator).
#
#   scripts/wine-run.sh build_dir program.exe [argument...]
#
# The wine prefix lives in build_dir/wine and is made on first use (one maker at
# a time when tests start together); SDL2.dll is found in build_dir/deps/sdl2/bin.
# The tests run SDL with its dummy drivers; a play with a window needs X.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 build_dir program.exe [argument...]" >&2; exit 2; }
mkdir -p "$1"
build="$(cd "$1" && pwd)"
shift
command -v wine > /dev/null || { echo "wine is not installed (scripts/setup.sh --windows installs it)" >&2; exit 127; }
export WINEPREFIX="$build/wine"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer on first start; nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPATH="$build/deps/sdl2/bin"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot --init > "$build/wine-init.log" 2>&1 || { cat "$build/wine-init.log" >&2; exit 1; }
      wineserver --wait
    fi
  ) 9> "$build/wine.lock"
fi
exec wine "$@"
