#!/usr/bin/env bash
# Catches an install rule that misses the program, the manual page or the
# licence, or installs a program that does not run.
# Usage: install_test.sh CMAKE BUILD-DIR SOURCE-DIR
set -euo pipefail
cmake=$1
build=$2
source=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$cmake" --install "$build" --prefix "$scratch/prefix" >/dev/null

program="$scratch/prefix/bin/webhaul"
page="$scratch/prefix/share/man/man1/webhaul.1.gz"
[ -x "$program" ] || { echo "FAIL: bin/webhaul not installed" >&2; exit 1; }
[ -f "$page" ] || { echo "FAIL: share/man/man1/webhaul.1.gz not installed" >&2; exit 1; }
gzip -dc "$page" | cmp -s - "$source/docs/webhaul.1" || { echo "FAIL: installed manual page differs" >&2; exit 1; }
for file in copyright changelog.gz; do
  [ -f "$scratch/prefix/share/doc/webhaul/$file" ] || { echo "FAIL: share/doc/webhaul/$file not installed" >&2; exit 1; }
done

"$(dirname "$0")/expect_usage.sh" "$program"
echo "install gives bin/webhaul, share/man/man1/webhaul.1.gz and share/doc/webhaul"
