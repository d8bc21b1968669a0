#!/usr/bin/env bash
# Runs a webhaul binary without arguments and checks that it prints the
# usage text on standard error only and exits with status 1. A Windows
# build is run through its loader (the command's first words); its CR LF
# line ends count as LF.
# Usage: expect_usage.sh [LOADER...] WEBHAUL-BINARY
set -uo pipefail
program=${*: -1}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$@" </dev/null >"$scratch/out" 2>"$scratch/err"
status=$?
expected="Usage: Webhaul [<options>] <local-filename> <server-address> [<path-on-server>]"
first=$(head -n 1 "$scratch/err" | tr -d '\r')
if [ "$status" -ne 1 ]; then
  echo "FAIL: $program exited with $status, not 1" >&2
  exit 1
fi
if [ "$first" != "$expected" ]; then
  echo "FAIL: first line of the usage text is: $first" >&2
  exit 1
fi
if [ -s "$scratch/out" ]; then
  echo "FAIL: $program wrote to standard output" >&2
  exit 1
fi
