#!/usr/bin/env bash
# Catches a Debian package that cannot be built, lacks its metadata, misses
# the program, the compressed manual page, the licence or the changelog,
# holds a program that is not stripped, does not run or tells another
# version than the package's, or that lintian finds fault with (checked
# when lintian is installed and LINT is yes).
# Usage: package_test.sh CPACK BUILD-DIR SOURCE-DIR LINT
set -euo pipefail
cpack=$1
build=$2
source=$3
lint=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log" >&2
  fail "cpack -G DEB failed"
}
shopt -s nullglob
packages=("$scratch"/out/*.deb)
[ ${#packages[@]} -eq 1 ] || fail "expected one .deb, found ${#packages[@]}"
package=${packages[0]}

control=$(dpkg-deb -f "$package" Package Section Depends Maintainer Description)
for field in "Package: webhaul" "Section: net" "Depends: .*libc6" "Maintainer: ." "Description: ."; do
  grep -Eq "^$field" <<<"$control" || fail "control lacks $field: $control"
done

root="$scratch/root"
dpkg-deb -x "$package" "$root"
program="$root/usr/bin/webhaul"
page="$root/usr/share/man/man1/webhaul.1.gz"
doc="$root/usr/share/doc/webhaul"

[ -x "$program" ] || fail "the package has no usr/bin/webhaul"
[ -f "$page" ] || fail "the package has no usr/share/man/man1/webhaul.1.gz"
[ ! -e "$root/usr/share/man/man1/webhaul.1" ] || fail "the package holds an uncompressed manual page"
gzip -dc "$page" | cmp -s - "$source/docs/webhaul.1" || fail "the packaged manual page differs from docs/webhaul.1"
# gzip -n leaves the name and time stamp out: the header's time field is 0.
[ "$(od -An -tx1 -j4 -N4 "$page" | tr -d ' ')" = 00000000 ] || fail "the manual page's gzip header has a time stamp"
grep -q "^License: Expat" "$doc/copyright" || fail "usr/share/doc/webhaul/copyright names no Expat (MIT) licence"
grep -q "^ Permission is hereby granted" "$doc/copyright" || fail "the copyright file lacks the licence text"
gzip -dc "$doc/changelog.gz" | head -n 1 | grep -q "^webhaul (1\.0\.0)" ||
  fail "usr/share/doc/webhaul/changelog.gz does not begin with the 1.0.0 entry"

sections=$(readelf -S "$program")
for section in .symtab .debug_info .comment; do
  ! grep -qF " $section " <<<"$sections" || fail "the packaged program is not stripped: it has $section"
done
"$(dirname "$0")/expect_usage.sh" "$program"
# The C library alone: anything more (the C++ runtime for a guarded static,
# the maths library) costs a plain run resident memory; libssl is loaded
# only for https.
# (A sanitized build needs its runtimes: only the shipped build is held to it.)
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$lint" != yes ] || [ "$needed" = "libc.so.6 " ] || fail "the packaged program needs more than the C library: $needed"
# What a packaging check asks the installed program: its version is the package's.
version=$(dpkg-deb -f "$package" Version)
said=$("$program" --version | head -n 1)
[ "$said" = "webhaul $version" ] || fail "the packaged program says \"$said\", the package is $version"

if [ "$lint" != yes ]; then
  echo "lintian not run: this build (sanitized or Debug) is not the one shipped"
elif command -v lintian >/dev/null; then
  # Only the override of the usage text's spelling may remain, and lintian
  # shows overridden tags only when asked.
  findings=$(lintian --pedantic -E -I "$package" 2>/dev/null) || fail "lintian failed on the package: $findings"
  [ -z "$findings" ] || fail "lintian --pedantic finds: $findings"
  echo "lintian --pedantic finds nothing in $(basename "$package")"
else
  echo "lintian is not installed: the package was not checked with it"
fi
echo "$(basename "$package") installs a webhaul that runs"
