#!/usr/bin/env bash
# Sets everything up, builds the optimised program and plays the production.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release
cmake --build --preset release
cd build/release
exec ./quillfern
