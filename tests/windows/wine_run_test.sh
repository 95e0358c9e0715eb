#!/usr/bin/env bash
# Checks the script that runs Windows programs under Wine (cmake/wine-run.in)
# against a stand-in Wine that fails to reach its server a given number of
# times before it runs the program: such a start is retried, twice at most,
# and nothing else is; the program's own status and output come through.
# Usage: wine_run_test.sh <wine-run.in> <scratch directory>
set -u
template=$1
dir=$2
rm -rf "$dir" && mkdir -p "$dir" || exit 1

cat >"$dir/wine" <<'FAKE'
#!/bin/sh
# Stand-in Wine: the first $FAILS starts die as a client that lost its
# server; later ones "run" the program, which exits with $STATUS.
count_file="$(dirname "$0")/starts"
n=$(($(cat "$count_file" 2>/dev/null || echo 0) + 1))
echo $n >"$count_file"
if [ $n -le "$FAILS" ]; then
  echo "wine client error:0: recvmsg: Connection reset by peer" >&2
  exit 1
fi
printf 'ran %s\r\n' "$*"
echo "program stderr" >&2
exit "$STATUS"
FAKE
chmod +x "$dir/wine"
sed -e "s|@GLINTWEAVE_WINEPREFIX@|$dir/prefix|" -e "s|@GLINTWEAVE_WINE@|$dir/wine|" \
  "$template" >"$dir/wine-run"
chmod +x "$dir/wine-run"

failures=0
# check <fails> <program status> <expected status> <expected starts> <args...>
check() {
  local fails=$1 status=$2 want_status=$3 want_starts=$4
  shift 4
  rm -f "$dir/starts"
  local out got
  out=$(FAILS=$fails STATUS=$status "$dir/wine-run" "$@" 2>"$dir/stderr")
  got=$?
  local starts
  starts=$(cat "$dir/starts")
  if [ "$got" != "$want_status" ] || [ "$starts" != "$want_starts" ]; then
    echo "FAIL: $fails lost start(s), program status $status, args '$*':" \
         "status $got (want $want_status), $starts start(s) (want $want_starts)"
    failures=$((failures + 1))
  fi
  LAST_OUT=$out
}

check 0 0 0 1 prog.exe          # a plain run: one start
check 1 0 0 2 prog.exe          # one lost start: run again, saying so
if ! grep -q "starting the program again" "$dir/stderr"; then
  echo "FAIL: a retried start is not reported"
  failures=$((failures + 1))
fi
check 2 0 0 3 prog.exe          # two lost starts: third time runs it
check 3 0 1 3 prog.exe          # three: give up with Wine's status
check 0 5 5 1 prog.exe          # the program's own failure: no second run
check 1 0 0 2 prog.exe --gtest_list_tests   # test listing retried too...
if [ "$LAST_OUT" != "ran prog.exe --gtest_list_tests" ]; then   # ...and without CRs
  echo "FAIL: listing came through as '$(printf '%q' "$LAST_OUT")'"
  failures=$((failures + 1))
fi
if [ -n "$(find "${TMPDIR:-/tmp}" -maxdepth 1 -name 'wine-run.*' -newer "$dir/wine" 2>/dev/null)" ]; then
  echo "FAIL: wine-run left its temporary file behind"
  failures=$((failures + 1))
fi
exit $((failures > 0))
