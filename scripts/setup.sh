#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the test suite need and the
# machine lacks, plus any package names given as arguments; then the browser
# test's npm packages (tests/browser, from its package-lock.json). Safe to
# run again: packages already present are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ clang llvm libclang-rt-14-dev pkg-config binutils
  libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libopenexr-dev valgrind
  libcli11-dev libstb-dev fonts-dejavu-core
  libcpp-httplib-dev nlohmann-json3-dev chromium
  "$@"
)
# Node.js and npm run the studio's browser test. A machine that already has
# node (from another source) keeps it: Debian's packages would conflict.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

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
