#!/usr/bin/env bash
# Sets the machine up for the preview alone, builds the preview renderer and
# the two deliverables (preset preview: no tests, no studio) and renders the
# default preview. Arguments go to glintweave-preview.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --preview
scripts/build.sh preview
exec build/preview/tools/preview/glintweave-preview "$@"
