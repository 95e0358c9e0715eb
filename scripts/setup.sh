#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the test suite need and the
# machine lacks, plus any package names given as arguments. Safe to run
# again: packages already present are skipped.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang llvm libclang-rt-14-dev pkg-config binutils
  libgtest-dev libgmock-dev libbenchmark-dev libpng-dev libopenexr-dev valgrind libcli11-dev
  "$@"
)

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
