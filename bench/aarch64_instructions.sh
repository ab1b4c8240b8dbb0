#!/usr/bin/env bash
# Instructions per sample of the portable and NEON kernels on aarch64,
# counted under qemu-user, where speed cannot be timed: builds the aarch64
# driver (bench/aarch64_driver.cpp, in build-aarch64/) and the counting
# plugin for qemu (bench/qemu_insn_count.c, by the host's C compiler), runs
# every case with COUNT samples and with none, and prints a Markdown table of
# (instructions with COUNT - instructions with none) / COUNT, with the
# commit, the date and the command.
#
#   bench/aarch64_instructions.sh [--repeat]
#
# --repeat: run everything twice and stop if a count differs (the counts are
# exact and repeatable; this checks it).
#
# The counts are those of the guest program, not of qemu: every aarch64
# instruction counts one, whatever it costs on a real core. The driver runs
# on one thread, in an empty environment (env -i), without address
# randomisation where the system allows it (setarch -R), with qemu's random
# numbers seeded and under the same name from any clone, so that nothing but
# the program decides the count.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$(pwd)

repeat=1
for arg in "$@"; do
  case "$arg" in
    --repeat) repeat=2 ;;
    *) echo "usage: bench/aarch64_instructions.sh [--repeat]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh arm
cmake --preset aarch64 >/dev/null
cmake --build --preset aarch64 --target aarch64_driver >&2
build=$root/build-aarch64
plugin=$build/qemu_insn_count.so
if [ ! -f "$plugin" ] || [ bench/qemu_insn_count.c -nt "$plugin" ]; then
  gcc -std=c11 -O2 -Wall -Wextra -Wpedantic -shared -fPIC -fvisibility=hidden -o "$plugin" bench/qemu_insn_count.c
fi
qemu=$(command -v qemu-aarch64 || command -v qemu-aarch64-static || true)
if [ -z "$qemu" ]; then
  echo "aarch64_instructions: qemu-aarch64 not found (scripts/setup.sh arm installs it)" >&2
  exit 1
fi
# The processor model and the C library the aarch64 tests run with.
qemu_cpu=max
sysroot=/usr/aarch64-linux-gnu
# Without address randomisation the guest's memory, and qemu's around it,
# lie in the same place on every run.
fixed_addresses=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  fixed_addresses=(setarch "$(uname -m)" -R)
else
  echo "aarch64_instructions: setarch -R refused here; addresses stay random (check with --repeat)" >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Guest instructions of one run of the driver: count KERNEL DRIVER-ARGUMENTS...
count() {
  local kernel=$1 n="" i
  shift
  for ((i = 0; i < repeat; ++i)); do
    rm -f "$work/log"
    # Started by the same relative name from any clone: the name lies on
    # the guest's stack, and its length moves everything below it.
    if ! (cd "$build" && "${fixed_addresses[@]}" env -i TULO_CELLULAR_MAX_ISA="$kernel" "$qemu" -cpu "$qemu_cpu" \
        -L "$sysroot" -seed 1 -plugin "file=$plugin" -d plugin -D "$work/log" ./aarch64_driver "$@" \
        >"$work/out" 2>"$work/err"); then
      echo "aarch64_instructions: driver $* failed for kernel $kernel:" >&2
      cat "$work/err" >&2
      exit 1
    fi
    if [ "$(cat "$work/out")" != "kernel $kernel" ]; then
      echo "aarch64_instructions: kernel $kernel asked for, driver said: $(cat "$work/out")" >&2
      exit 1
    fi
    local got
    got=$(sed -n 's/^guest instructions: \([0-9]*\)$/\1/p' "$work/log")
    if [ -z "$got" ]; then
      echo "aarch64_instructions: no count from the plugin for $*" >&2
      exit 1
    fi
    if [ -n "$n" ] && [ "$got" != "$n" ]; then
      echo "aarch64_instructions: $* for kernel $kernel counted $n, then $got" >&2
      exit 1
    fi
    n=$got
  done
  echo "$n"
}

# Instructions per sample: per_sample KERNEL SAMPLES CASE ARGUMENTS... (the
# driver's arguments without the count).
per_sample() {
  local kernel=$1 samples=$2
  shift 2
  local none full
  none=$(count "$kernel" "$@" 0)
  full=$(count "$kernel" "$@" "$samples")
  awk -v a="$full" -v b="$none" -v k="$samples" 'BEGIN { printf "%.1f", (a - b) / k }'
}

# The cases: a label, the samples counted, the driver's arguments.
point_samples=4096     # the per-sample benchmarks' points, each once
layout_samples=262144  # the whole slice; the first quarter of the million random points
cases=()
for m in 1 2 3; do cases+=("cellular_basis, metric $m|$point_samples|basis $m"); done
for o in 0 5; do
  for m in 1 2 3; do cases+=("shade_sample, metric $m, octaves $o|$point_samples|shader $m $o"); done
done
for layout in random slice; do
  for m in 1 2 3; do
    cases+=("cellular_basis per point, metric $m, $layout|$layout_samples|point $m $layout")
    cases+=("cellular_basis_batch, metric $m, $layout|$layout_samples|array $m $layout")
  done
done

commit=$(git rev-parse --short HEAD)
[ -z "$(git status --porcelain --untracked-files=no)" ] || commit="$commit (with uncommitted changes)"
echo "Instructions per sample on aarch64, counted in emulation"
echo
host_cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "- machine: $(uname -m) host (${host_cpu:-unknown CPU}), $("$qemu" --version | head -n 1), -cpu $qemu_cpu"
echo "- guest compiler: $(aarch64-linux-gnu-g++ --version | head -n 1)"
echo "- counted: every guest instruction executed, by a TCG plugin (bench/qemu_insn_count.c); per sample ="
echo "  (count with the samples - count with none) / samples, so that start-up and exit cancel"
echo "- commit: $commit"
echo "- date: $(date '+%Y-%m-%d %H:%M %Z')"
echo "- command: bench/aarch64_instructions.sh $*"
echo
echo "| case | samples | portable | neon | portable / neon |"
echo "|---|---:|---:|---:|---:|"
done_cases=0
for c in "${cases[@]}"; do
  IFS='|' read -r label samples args <<<"$c"
  echo "aarch64_instructions: [$((++done_cases))/${#cases[@]}] $label" >&2
  # shellcheck disable=SC2086 # the driver's arguments, split on purpose
  portable=$(per_sample portable "$samples" $args)
  # shellcheck disable=SC2086
  neon=$(per_sample neon "$samples" $args)
  ratio=$(awk -v a="$portable" -v b="$neon" 'BEGIN { printf "%.2f", a / b }')
  echo "| $label | $samples | $portable | $neon | $ratio |"
done
