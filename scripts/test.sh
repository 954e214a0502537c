#!/usr/bin/env bash
# Sets everything up, checks that the includes of src/ follow the layers and
# that the sources are formatted, builds the configurations (optimised, with
# AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows program
# cross-built with mingw-w64) and runs every test in each; the Windows build's
# tests run under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --windows
# Includes of src/ must run one way through the layers; fails before any build.
scripts/check_layers.py
# The sources must be laid out as .clang-format says (clang-format 14, Debian's:
# another version lays some lines out differently); fails before any build and
# names each file and line that differs.
find src tests bench fuzz sample -type f \( -name '*.cpp' -o -name '*.h' \) -print0 |
  sort -z | xargs -0 clang-format-14 --dry-run --Werror
for preset in release asan windows; do
  start=$SECONDS
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  echo "$preset pass: $((SECONDS - start)) s"
done
# Both programs play the same production: the Windows zip's packs are the
# Linux build's, byte for byte.
python3 tests/windows/check_program.py packs build/windows/quillfern.zip build/release/assets/vexil/le
# Last, the short fuzz pass: every fuzz target for a fixed number of runs from
# a fixed seed (about 10 s each) over its committed corpus, in a clang build
# with libFuzzer and both sanitizers.
fuzz/run.sh --ci
