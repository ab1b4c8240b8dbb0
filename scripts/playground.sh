#!/usr/bin/env bash
# Builds the playground (the WebAssembly module and the page, into
# build-wasm/site/) and serves it on http://127.0.0.1:8000/ until Ctrl-C.
#
#   scripts/playground.sh [--port N] [--build-only]
#
# --port N: serve on port N instead; --build-only: build, do not serve.
# Installs what is missing first (scripts/setup.sh web: Emscripten, and the
# browser the tests use).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
port=8000
build_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --port)
      [ $# -ge 2 ] || { echo "playground: --port needs a number" >&2; exit 2; }
      port="$2"
      shift 2
      ;;
    --port=*) port="${1#--port=}"; shift ;;
    --build-only) build_only=1; shift ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "playground: unknown option '$1' (--port N, --build-only)" >&2; exit 2 ;;
  esac
done
if ! [[ "$port" =~ ^[0-9]+$ ]] || [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
  echo "playground: --port needs a number from 1 to 65535, got '$port'" >&2
  exit 2
fi

cd "$root"
scripts/setup.sh web
cmake --preset wasm >/dev/null
cmake --build --preset wasm
if [ "$build_only" -eq 1 ]; then
  echo "playground: built into $root/build-wasm/site/"
  exit 0
fi
exec /usr/bin/python3 web/serve.py "$root/build-wasm/site" --port "$port"
