#!/usr/bin/env bash
# Sets the machine up, builds the dev preset and runs the whole test suite.
# Usage: scripts/test.sh [preset]   (dev, asan, tsan, clang or windows-cross;
# default dev). windows-cross also installs the MinGW-w64 compiler and Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
scripts/setup.sh
if [ "$preset" = windows-cross ]; then scripts/setup-windows.sh; fi
scripts/build.sh "$preset"
ctest --preset "$preset"
