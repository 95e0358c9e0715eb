#!/usr/bin/env bash
# Preview efficiency in one command: builds the bench preset, builds the
# preview of an earlier commit beside it (once; kept under build/), and runs
# glintweave_efficiency with that preview as the baseline. It takes many
# minutes (a 1024-sample reference per host); not part of CI.
#
# Usage: bench/efficiency.sh [glintweave_efficiency options, e.g. --quick]
# GLINTWEAVE_BASELINE names the earlier commit (default ccc08dd, the last
# before the light sampling and the hosts' data paths were reworked).
set -euo pipefail
cd "$(dirname "$0")/.."
base="${GLINTWEAVE_BASELINE:-ccc08dd}"
root="build/baseline-$base"
preview="$root/src/build/release/tools/preview/glintweave-preview"

if [ ! -x "$preview" ]; then
  echo "efficiency: building the preview of $base under $root" >&2
  rm -rf "$root"
  mkdir -p "$root/src"
  git archive "$base" | tar -x -C "$root/src"
  (cd "$root/src" && cmake --preset release >/dev/null &&
    cmake --build --preset release --target glintweave-preview)
fi

scripts/build.sh bench
build/bench/bench/glintweave_efficiency --baseline "$preview" "$@"
