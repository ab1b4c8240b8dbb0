#!/usr/bin/env bash
# Builds the project and renders a preview of the texture (preview.png by
# default); any cellular-preview option may follow, e.g. --sheet metrics.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target cellular-preview
./build/cellular-preview "$@"
