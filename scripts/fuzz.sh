#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for a bounded time,
# starting from its committed seed corpus. Any finding (crash, sanitizer
# report, broken invariant, an input slower than the per-input timeout)
# fails the run; its input is kept under build/fuzz/findings/.
#
# Usage: scripts/fuzz.sh [seconds per target] [target...]
#   seconds  default 60; targets default to every *_fuzz executable built.
#   FUZZ_ARGS adds libFuzzer options, e.g. FUZZ_ARGS="-jobs=2 -workers=2".
# The corpus a run grows is kept in build/fuzz/corpus/<target>, so longer or
# repeated runs go on from where the last one stopped.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
scripts/setup.sh
scripts/build.sh fuzz >/dev/null
build=build/fuzz
if (($# > 0)); then
  targets=("$@")
else
  mapfile -t targets < <(find "$build/fuzz" -maxdepth 1 -type f -executable -name '*_fuzz' \
    -printf '%f\n' | sort)
fi
if ((${#targets[@]} == 0)); then
  echo "fuzz: no fuzz targets under $build/fuzz" >&2
  exit 2
fi
mkdir -p "$build/findings"
passed=0
failed=0
for target in "${targets[@]}"; do
  exe="$build/fuzz/$target"
  seeds="fuzz/corpus/${target%_fuzz}"
  corpus="$build/corpus/$target"
  log="$build/$target.log"
  mkdir -p "$corpus"
  echo "fuzz: $target for ${seconds}s (log: $log)"
  # shellcheck disable=SC2086  # FUZZ_ARGS is a list of options
  if "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/findings/$target-" ${FUZZ_ARGS:-} "$corpus" "$seeds" \
      >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done ' "$log" | sed "s/^/fuzz: $target: /"
    passed=$((passed + 1))
  else
    echo "fuzz: FINDING in $target; inputs in $build/findings/:" >&2
    ls "$build/findings" >&2 || true
    grep -v -E '^(DYNLOAD|dlsym failed)' "$log" | tail -n 60 >&2
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
