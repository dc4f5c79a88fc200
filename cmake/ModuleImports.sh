#!/usr/bin/env bash
# The symbols a module takes from the program that loads it: those the module leaves undefined
# and the program's own libraries define. Writes OUTPUT.list (a dynamic list: the program exports
# exactly these) and OUTPUT.ld (a linker script that makes the program link their definitions in).
# Every other symbol the module leaves undefined must come from the libraries it names: one that
# nothing defines would only show when the module is loaded (the window would not open), so it
# fails the build here, and nothing is written.
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

# The loader resolves the module against its libraries as it would at run time and names what
# stays undefined; what the program gives it is taken out of that.
mapfile -t unresolved < <(LC_ALL=C ldd -r "$module" 2>&1 |
  sed -n 's/^[[:space:]]*undefined symbol: \([^[:space:],]*\).*/\1/p' | sort -u | comm -23 - "$defined")
if ((${#unresolved[@]})); then
  echo "ModuleImports.sh: $module uses symbols that neither the program nor its libraries define:" >&2
  for symbol in "${unresolved[@]}"; do
    echo "  $symbol ($(c++filt "$symbol"))" >&2
  done
  exit 1
fi

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
