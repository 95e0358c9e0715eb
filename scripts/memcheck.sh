#!/usr/bin/env bash
# Runs every test executable of a build once under valgrind's memcheck and
# fails on any invalid access or definite leak. Usage: scripts/memcheck.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/dev}"
if [ ! -d "$build/tests" ]; then
  echo "memcheck: $build has no tests; build it first (scripts/build.sh dev)" >&2
  exit 2
fi
mapfile -t exes < <(find "$build/tests" -type f -executable -name '*_tests' | sort)
if ((${#exes[@]} == 0)); then
  echo "memcheck: no test executables under $build/tests" >&2
  exit 2
fi
status=0
for exe in "${exes[@]}"; do
  echo "memcheck: $exe" >&2
  # Death tests fork and exit on purpose; their children are not ours to check.
  # Some test executables replace operator new to count allocations:
  # nouserintercepts keeps valgrind from pairing its own new with their delete.
  # GLINTWEAVE_UNDER_VALGRIND lets the slowest tests shrink their work.
  if ! GLINTWEAVE_UNDER_VALGRIND=1 valgrind --quiet --error-exitcode=99 --leak-check=full \
      --soname-synonyms=somalloc=nouserintercepts \
      --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-origins=yes \
      --child-silent-after-fork=yes "$exe" --gtest_brief=1 >"$exe.memcheck.log" 2>&1; then
    echo "memcheck: FAILED $exe (log: $exe.memcheck.log)" >&2
    tail -n 40 "$exe.memcheck.log" >&2
    status=1
  fi
done
exit $status
