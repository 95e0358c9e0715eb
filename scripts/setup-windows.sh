#!/usr/bin/env bash
# Installs, with apt-get, what the Windows cross build (preset windows-cross)
# needs on top of scripts/setup.sh: the MinGW-w64 compiler (posix threads
# variant, for std::thread), Wine to run the test executables, and the
# GoogleTest sources, which the cross build compiles for Windows.
# Safe to run again: packages already present are skipped.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 googletest
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup-windows: installing ${missing[*]}" >&2
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup-windows: all cross-build packages present" >&2
fi
