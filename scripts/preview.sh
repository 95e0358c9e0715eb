#!/usr/bin/env bash
# Sets the machine up, builds the dev preset and renders the default preview.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh dev
preview=build/dev/tools/preview/glintweave-preview
if [ -x "$preview" ]; then
  "$preview" "$@"
else
  echo "preview: the preview renderer is not built yet; the deliverables are in build/dev" >&2
fi
