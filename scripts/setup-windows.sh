#!/usr/bin/env bash
# Installs, with apt-get, what the Windows cross build (preset windows-cross)
# needs on top of the native build: the MinGW-w64 compiler (posix threads
# variant, for std::thread), Wine to run the test executables, and the
# GoogleTest sources, which the cross build compiles for Windows.
# Safe to run again: packages already present are skipped.
set -euo pipefail
exec "$(dirname "$0")/setup.sh" \
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 googletest
