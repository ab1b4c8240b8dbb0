#!/usr/bin/env bash
# Builds the library and shades a few samples through the stand-in renderer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
./build/shade-samples "$@"
