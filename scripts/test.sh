#!/usr/bin/env bash
# Sets the machine up, builds the dev preset and runs the whole test suite.
# Usage: scripts/test.sh [preset]   (dev, asan, tsan or clang; default dev)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
scripts/setup.sh
scripts/build.sh "$preset"
ctest --preset "$preset"
