#!/usr/bin/env bash
# Builds the project and runs the per-sample benchmarks once per search
# kernel this CPU has, five interleaved repetitions each, reporting medians
# (this machine's timings vary by several percent from run to run).
# Benchmark options (e.g. --benchmark_filter=BM_Shader) may follow.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target shader_bench
./build/shader_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 "$@"
