#!/usr/bin/env bash
# Catches an install rule that misses the program or the manual page, or
# installs a program that does not run.
# Usage: install_test.sh CMAKE BUILD-DIR SOURCE-DIR
set -euo pipefail
cmake=$1
build=$2
source=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$cmake" --install "$build" --prefix "$scratch/prefix" >/dev/null

program="$scratch/prefix/bin/webhaul"
page="$scratch/prefix/share/man/man1/webhaul.1"
[ -x "$program" ] || { echo "FAIL: bin/webhaul not installed" >&2; exit 1; }
[ -f "$page" ] || { echo "FAIL: share/man/man1/webhaul.1 not installed" >&2; exit 1; }
cmp -s "$page" "$source/docs/webhaul.1" || { echo "FAIL: installed manual page differs" >&2; exit 1; }

"$(dirname "$0")/expect_usage.sh" "$program"
echo "install gives bin/webhaul and share/man/man1/webhaul.1"
