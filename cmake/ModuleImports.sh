#!/usr/bin/env bash
# The symbols a module takes from the program that loads it: those the module leaves undefined
# and the program's own libraries define. Writes OUTPUT.list (a dynamic list: the program exports
# exactly these) and OUTPUT.ld (a linker script that makes the program link their definitions in).
# Usage: ModuleImports.sh NM MODULE OUTPUT ARCHIVE...
set -euo pipefail
nm=$1 module=$2 output=$3
shift 3
undefined=$(mktemp) defined=$(mktemp)
trap 'rm -f "$undefined" "$defined"' EXIT
"$nm" -D --undefined-only --format=just-symbols "$module" | sort -u >"$undefined"
"$nm" --defined-only --extern-only --format=just-symbols "$@" 2>/dev/null | grep -v -e ':$' -e '^$' |
  sort -u >"$defined"
mapfile -t imports < <(comm -12 "$undefined" "$defined")
{
  echo "{"
  printf '  "%s";\n' "${imports[@]}"
  echo "};"
} >"$output.list"
{
  echo "EXTERN("
  printf '  %s\n' "${imports[@]}"
  echo ")"
} >"$output.ld"
