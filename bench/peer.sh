#!/usr/bin/env bash
# The preview against Blender Cycles in one command: builds the bench preset
# and runs glintweave_efficiency --peer, which writes the stage (a model and
# an environment image made by our own code, the camera), renders it in
# Cycles (through bench/cycles_peer.py) and through both hosts of the
# preview, and prints the efficiency of each. Needs Blender (`blender` on the
# PATH, or --blender PATH); not part of setup or CI. Takes many minutes.
#
# Usage: bench/peer.sh [glintweave_efficiency options, e.g. --stage DIR --repeats 3]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh bench
exec build/bench/bench/glintweave_efficiency --peer "$@"
