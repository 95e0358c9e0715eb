#!/usr/bin/env bash
# Regenerates docs/material-guide.md and its pictures (docs/guide/*.webp) with
# the preview tool of the dev build.
#
# The page is scripts/guide-template.md with two parts filled in: the
# recipes (scripts/guide-recipes.txt) and a section per input. The inputs,
# their hosts, kinds, defaults and ranges come from `glintweave-preview
# --list`, that is from the deliverables themselves; guide-inputs.txt adds a
# sentence per input and the values its sweep shows. An input the
# deliverables declare and guide-inputs.txt does not describe stops the
# script with an error, so that the guide never silently leaves one out.
#
# Every picture of the page is rendered by the `glintweave-preview` command
# printed above it (a line of a ```sh block): the script runs each command
# as printed, in a temporary folder, and stores its PNG re-encoded as WebP
# (cwebp, Debian's webp package) under docs/guide/ by the PNG's name. The
# test suite runs the same commands, smaller, so that none goes stale.
#
# Usage: scripts/make-guide.sh           the page and every picture
#        scripts/make-guide.sh --text    the page only (the pictures stay)
# (builds the dev preset first if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
render=1
if [ "${1:-}" = --text ]; then
  render=0
fi
tool=$PWD/build/dev/tools/preview/glintweave-preview
if [ ! -x "$tool" ]; then
  scripts/setup.sh
  scripts/build.sh dev >/dev/null
fi
if ((render)) && ! command -v cwebp >/dev/null 2>&1; then
  scripts/setup.sh --preview webp
fi

# What the sweeps have in common: the cell size and the samples per pixel.
sweep_quality="--size 160x160 --spp 128"
# And the recipes (both hosts, side by side).
recipe_quality="--size 240x180 --spp 128"

trim() {
  local v=$1
  v=${v#"${v%%[![:space:]]*}"}
  printf '%s' "${v%"${v##*[![:space:]]}"}"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ---- the inputs: a table, then a section with a sweep per input ----------
declare -A what values extra
while IFS='|' read -r name sweep more sentence; do
  name=$(trim "$name")
  [ -n "$name" ] && [ "${name:0:1}" != "#" ] || continue
  values[$name]=$(trim "$sweep")
  extra[$name]=$(trim "$more")
  what[$name]=$(trim "$sentence")
done <scripts/guide-inputs.txt

{
  echo "| Input | Hosts | Kind | Default | Slider range |"
  echo "|---|---|---|---|---|"
} >"$work/inputs.md"
count=0
while read -r name hosts kind default range; do
  [ -n "$name" ] || continue
  if [ -z "${what[$name]+x}" ] || [ -z "${values[$name]+x}" ]; then
    echo "make-guide: the deliverables declare '$name', which guide-inputs.txt does not describe" >&2
    exit 2
  fi
  case $hosts in
    both) label="Maya, mental ray" host=maya ;;
    maya) label="Maya" host=maya ;;
    mentalray) label="mental ray" host=mentalray ;;
    *) label=$hosts host=$hosts ;;
  esac
  echo "| [\`$name\`](#$(echo "$name" | tr 'A-Z' 'a-z')) | $label | $kind | $default | ${range:--} |" \
    >>"$work/inputs.md"
  command="glintweave-preview --host $host --sweep $name=${values[$name]}"
  [ -z "${extra[$name]}" ] || command+=" ${extra[$name]}"
  command+=" $sweep_quality -o $name.png"
  {
    echo
    echo "### $name"
    echo
    echo "${what[$name]}"
    echo
    echo "$label; $kind; default \`$default\`${range:+; slider range $range}."
    echo
    echo '```sh'
    echo "$command"
    echo '```'
    echo
    echo "![$name swept over ${values[$name]//:/ }](guide/$name.webp)"
  } >>"$work/sections.md"
  count=$((count + 1))
done < <("$tool" --list | sed -n '2,/^$/p' | sed '/^$/d')
cat "$work/sections.md" >>"$work/inputs.md"

# ---- the recipes ------------------------------------------------------------
recipes=0
: >"$work/recipes.md"
while IFS='|' read -r file title options why; do
  file=$(trim "$file")
  [ -n "$file" ] && [ "${file:0:1}" != "#" ] || continue
  {
    [ "$recipes" -eq 0 ] || echo
    echo "### $(trim "$title")"
    echo
    trim "$why"
    echo
    echo
    echo '```sh'
    echo "glintweave-preview --preset default $(trim "$options") $recipe_quality -o $file.png"
    echo '```'
    echo
    echo "![$(trim "$title")](guide/$file.webp)"
  } >>"$work/recipes.md"
  recipes=$((recipes + 1))
done <scripts/guide-recipes.txt

# ---- the page -----------------------------------------------------------------
out=docs/material-guide.md
while IFS= read -r line; do
  case $line in
    @INPUTS@) cat "$work/inputs.md" ;;
    @RECIPES@) cat "$work/recipes.md" ;;
    *) printf '%s\n' "$line" ;;
  esac
done <scripts/guide-template.md >"$work/page.md"
mv "$work/page.md" "$out"
echo "make-guide: $count inputs, $recipes recipes: $out"
((render)) || exit 0

# ---- the pictures: every command of the page, run as printed ----------------
pictures=0
mkdir -p docs/guide
while read -r -a words; do
  png=${words[-1]}
  if [ "${words[-2]}" != -o ] || [ "${png%.png}" = "$png" ] || [ "${png//\//}" != "$png" ]; then
    echo "make-guide: a command of the page does not end in -o NAME.png: ${words[*]}" >&2
    exit 2
  fi
  (cd "$work" && "$tool" "${words[@]:1}" >/dev/null)
  cwebp -quiet -q 85 -m 6 "$work/$png" -o "docs/guide/${png%.png}.webp"
  rm -f "$work/$png"
  pictures=$((pictures + 1))
  echo "make-guide: docs/guide/${png%.png}.webp"
done < <(awk '/^```sh$/ { on = 1; next } /^```$/ { on = 0 } on && /^glintweave-preview / { print }' "$out")
echo "make-guide: $pictures pictures in docs/guide/"
