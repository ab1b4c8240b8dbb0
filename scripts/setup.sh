#!/usr/bin/env bash
# Installs the Debian packages the build, tests and tools need, when missing.
# Safe to run again: it only calls apt-get when something is absent.
#
#   scripts/setup.sh [windows] [fuzz] [arm] [web]
#
# windows: the MinGW-w64 cross compiler and Wine, for the Windows build and
# its tests; fuzz: Clang with its sanitizer and libFuzzer runtimes; arm: the
# aarch64 cross compiler and qemu-user, for the ARM build and its tests;
# web: Emscripten for the playground's WebAssembly module, and Chromium with
# its WebDriver and Selenium for the playground's tests in a real browser.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkgconf  # toolchain (pkgconf: the install test's pkg-config consumer)
  libgtest-dev libbenchmark-dev  # tests and benchmarks
  libpng-dev libopenexr-dev      # the preview tool's image output
  python3-dev pybind11-dev python3-numpy python3-pytest  # the Python module and its tests
  python3-zarr python3-dask python3-distributed python3-tqdm python3-openvdb  # bakes: store, work, progress, export
)
for group in "$@"; do
  case "$group" in
    windows) packages+=(g++-mingw-w64-x86-64-posix wine64) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    arm) packages+=(g++-aarch64-linux-gnu qemu-user) ;;
    web) packages+=(emscripten chromium chromium-driver python3-selenium) ;;
    *) echo "setup: unknown group '$group' (windows, fuzz, arm, web)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "setup: missing packages (${missing[*]}) and no root rights to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
