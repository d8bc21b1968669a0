#!/usr/bin/env bash
# Catches a Debian package that cannot be built, lacks its metadata, misses
# the program or the manual page, or holds a program that does not run.
# Usage: package_test.sh CPACK BUILD-DIR
set -euo pipefail
cpack=$1
build=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack -G DEB failed" >&2
  exit 1
}
shopt -s nullglob
packages=("$scratch"/out/*.deb)
if [ ${#packages[@]} -ne 1 ]; then
  echo "FAIL: expected one .deb, found ${#packages[@]}" >&2
  exit 1
fi
package=${packages[0]}

control=$(dpkg-deb -f "$package" Package Section Depends Maintainer Description)
for field in "Package: webhaul" "Section: net" "Depends: .*libc6" "Maintainer: ." "Description: ."; do
  grep -Eq "^$field" <<<"$control" || { echo "FAIL: control lacks $field: $control" >&2; exit 1; }
done

dpkg-deb -x "$package" "$scratch/root"
[ -f "$scratch/root/usr/share/man/man1/webhaul.1" ] || {
  echo "FAIL: the package has no usr/share/man/man1/webhaul.1" >&2
  exit 1
}
[ -x "$scratch/root/usr/bin/webhaul" ] || { echo "FAIL: the package has no usr/bin/webhaul" >&2; exit 1; }
"$(dirname "$0")/expect_usage.sh" "$scratch/root/usr/bin/webhaul"
echo "$(basename "$package") installs a webhaul that runs"
