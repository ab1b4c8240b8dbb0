#!/usr/bin/env bash
# Builds the project and runs the per-sample benchmarks; benchmark options
# (e.g. --benchmark_filter=BM_Shader) may follow.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target shader_bench
./build/shader_bench "$@"
