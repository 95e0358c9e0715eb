#!/usr/bin/env bash
# Times several builds of glintweave-preview on the same render, interleaved
# (each repeat runs every build once, in turn), and prints for each build the
# median render time it reports, the median CPU time of its whole process
# (loading and writing included) and the checksum of the image it wrote. Builds
# whose images have the same checksum made the same image, so the ratio of
# their times is the ratio of their efficiencies.
#
# Usage: bench/compare_previews.sh [-n REPEATS] PREVIEW... -- PREVIEW-OPTIONS
# e.g.   bench/compare_previews.sh -n 5 build/baseline-ccc08dd/src/build/release/tools/preview/glintweave-preview \
#            build/bench/tools/preview/glintweave-preview -- --host maya --spp 16 --threads 2 --light-samples 16
# (an earlier build does not know --light-samples; give options all builds know.)
set -euo pipefail
repeats=5
if [ "${1:-}" = "-n" ]; then
  repeats="$2"
  shift 2
fi
previews=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  previews+=("$1")
  shift
done
if [ $# -eq 0 ] || [ ${#previews[@]} -eq 0 ]; then
  echo "usage: $0 [-n REPEATS] PREVIEW... -- PREVIEW-OPTIONS" >&2
  exit 2
fi
shift
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((r = 0; r < repeats; ++r)); do
  for i in "${!previews[@]}"; do
    exe="${previews[$i]}"
    # An option an earlier build lacks is dropped for it: it renders as it
    # always did.
    args=("$@")
    if ! "$exe" --help | grep -q -- --light-samples; then
      filtered=()
      skip=0
      for a in "${args[@]}"; do
        if [ $skip = 1 ]; then skip=0; continue; fi
        case "$a" in
          --light-samples) skip=1 ;;
          --light-samples=*) ;;
          *) filtered+=("$a") ;;
        esac
      done
      args=("${filtered[@]}")
    fi
    TIMEFORMAT='%U %S'
    { time "$exe" "${args[@]}" -o "$tmp/$i.png" >"$tmp/$i.out" 2>/dev/null; } 2>"$tmp/$i.time"
    awk '{print $1 + $2}' "$tmp/$i.time" >>"$tmp/$i.cpu"
    sed -E 's/.* threads, ([0-9.]+) s,.*/\1/' "$tmp/$i.out" >>"$tmp/$i.render"
  done
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %-8s %-34s %s\n' "render s" "CPU s" "image md5" "preview"
for i in "${!previews[@]}"; do
  printf '%-8s %-8s %-34s %s\n' "$(median <"$tmp/$i.render")" "$(median <"$tmp/$i.cpu")" \
    "$(md5sum <"$tmp/$i.png" | cut -d' ' -f1)" "${previews[$i]}"
done
