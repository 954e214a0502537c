#!/usr/bin/env bash
# Sets everything up, builds both configurations (optimised, and with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test in each.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# Includes of src/ must run one way through the layers; fails before any build.
scripts/check_layers.py
for preset in release asan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
# Last, the short fuzz pass: every fuzz target for 10 s over its committed
# corpus in a clang build with libFuzzer and both sanitizers.
fuzz/run.sh --ci
