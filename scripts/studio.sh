#!/usr/bin/env bash
# Sets the machine up, builds the dev preset and starts the lookdev studio.
# Arguments go to glintweave-studio (e.g. --open, --port 0, --scene agreement);
# Ctrl+C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh dev >&2  # stdout stays the studio's: its first line is the address
exec build/dev/tools/studio/glintweave-studio "$@"
