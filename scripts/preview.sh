#!/usr/bin/env bash
# Builds the project and renders a preview of the texture (preview.png by
# default, in the current folder); any cellular-preview option may follow,
# e.g. --sheet metrics. Relative paths are taken from the current folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
(
  cd "$root"
  scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target cellular-preview >&2
)
exec "$root/build/cellular-preview" "$@"
