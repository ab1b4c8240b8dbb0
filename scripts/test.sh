#!/usr/bin/env bash
# Builds everything in build/ and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --workflow --preset default
