#!/usr/bin/env bash
# Installs, with apt-get, whatever the machine lacks of what the project needs,
# plus any package names given as arguments. Safe to run again: packages
# already present are skipped.
#
#   scripts/setup.sh [PACKAGE...]            the whole build and test suite: the
#                                            preview's packages, then the studio's,
#                                            the tests', the benchmarks' and the
#                                            browser test's (Chromium, Node.js and
#                                            its npm packages in tests/browser)
#   scripts/setup.sh --preview [PACKAGE...]  only what the preview renderer and the
#                                            two deliverables need to build and run
set -euo pipefail
cd "$(dirname "$0")/.."

what=all
if [ "${1:-}" = --preview ]; then
  what=preview
  shift
fi

# The preview and the deliverables: compilers and build tools, the PNG and
# OpenEXR writers, the command line parser, the labels' font rasteriser and
# font, OpenColorIO for the views of a colour config, the ray tracer (Embree) and
# the model importer (assimp).
preview_packages=(
  cmake ninja-build g++ pkg-config
  libpng-dev libopenexr-dev libcli11-dev libstb-dev fonts-dejavu-core
  libopencolorio-dev
  libembree-dev libassimp-dev
)
# On top of those: the studio's HTTP server and JSON, the tests (GoogleTest,
# the export checks' nm, valgrind, the clang builds and fuzzers), the
# benchmarks, and the browser the studio's page is tested in.
test_packages=(
  libcpp-httplib-dev nlohmann-json3-dev
  clang llvm libclang-rt-14-dev binutils
  libgtest-dev libgmock-dev libbenchmark-dev valgrind
  chromium
)

packages=("${preview_packages[@]}")
if [ "$what" = all ]; then
  packages+=("${test_packages[@]}")
  # Node.js and npm run the studio's browser test. A machine that already
  # has node (from another source) keeps it: Debian's packages would conflict.
  if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    packages+=(nodejs npm)
  fi
fi
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present" >&2
fi

if [ "$what" = preview ]; then exit 0; fi

# playwright-core only: it drives the system's Chromium and downloads no
# browser of its own.
browser=tests/browser
lock="$browser/package-lock.json"
stamp="$browser/node_modules/.package-lock.json"
# npm ci writes the stamp: run it again when the lock file is newer.
if [ ! -f "$stamp" ] || [ "$lock" -nt "$stamp" ]; then
  echo "setup: installing the browser test's npm packages" >&2
  (cd "$browser" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi
