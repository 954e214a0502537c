#!/usr/bin/env bash
# Sets everything up, builds both configurations (optimised, and with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test in each.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in release asan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
