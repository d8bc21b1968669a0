#!/usr/bin/env bash
# Catches a README that has lost the newcomer's two commands, a section, an
# exit status of the program, or the notes a newcomer needs (building
# without the tests, the Windows zip, /dev/stdout), that fetches headers
# into a real file, or that has grown the benchmark tables back.
# Usage: readme_test.sh README
set -uo pipefail
readme=$1
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The first code block is the one a newcomer runs.
first_block=$(awk '/^```/ { if (inside) exit; inside = 1; next } inside' "$readme")
grep -q "^scripts/demo" <<<"$first_block" || fail "the first commands lack scripts/demo"
grep -q "^scripts/test" <<<"$first_block" || fail "the first commands lack scripts/test"
for command in $(awk '{ print $1 }' <<<"$first_block"); do
  [ -x "$(dirname "$readme")/$command" ] || fail "$command is not an executable script of the repository"
done

for heading in "## Usage" "### Options" "### Exit status" "## What happens when a transfer breaks" \
               "## Logins" "## Checksums" "## Limits" "## Windows" "## Performance" "## Code layout"; do
  grep -qx "$heading" "$readme" || fail "no heading $heading"
done

for status in 0 1 2 3 4 5 6 7 10 11 12 13 14 99; do
  grep -Eq "^\| $status \|" "$readme" || fail "exit status $status is not in the table"
done
for option in --help -dHEX -h -c -f -k -rN-M -sN -tN -vN -wN; do
  grep -Fq "| \`$option\` |" "$readme" || fail "option $option is not in the table"
done

# -h empties the local file, so an example that uses it names /dev/null.
grep -E '^webhaul .*-h( |$)' "$readme" | grep -v ' /dev/null ' | grep -q . &&
  fail "an example with -h writes to a real file: $(grep -E '^webhaul .*-h( |$)' "$readme" | grep -v ' /dev/null ')"
for note in "-DWEBHAUL_TESTS=OFF" "libgtest-dev" "win32.zip" "/dev/stdout"; do
  grep -Fq -- "$note" "$readme" || fail "nothing says $note"
done

# The measurements live beside the benchmarks; the README keeps a summary.
bench="$(dirname "$readme")/bench/README.md"
grep -q '^| file |' "$readme" && fail "the benchmark tables are in the README"
grep -q '^| file |' "$bench" 2>/dev/null || fail "bench/README.md has no table of results"
grep -Fq "bench/README.md" "$readme" || fail "the README does not point to bench/README.md"

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s) in $readme" >&2
  exit 1
fi
echo "README gives the two commands, every section, option and exit status"
