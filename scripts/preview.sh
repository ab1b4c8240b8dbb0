#!/usr/bin/env bash
# Builds the project and renders a preview of the texture (preview.png by
# default, in the current folder); any cellular-preview option may follow,
# e.g. --sheet metrics. Relative paths are taken from the current folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# One build at a time: two runs after a source change would otherwise
# relink the same program at once (and one fail with "Text file busy").
mkdir -p "$root/build"
(
  flock 9
  cd "$root"
  scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target cellular-preview >&2
) 9>"$root/build/.preview-build.lock"
exec "$root/build/cellular-preview" "$@"
