#!/usr/bin/env bash
# Runs a webhaul binary without arguments and checks that it prints the
# usage text on standard error only and exits with status 1.
# Usage: expect_usage.sh WEBHAUL-BINARY
set -uo pipefail
program=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$program" >"$scratch/out" 2>"$scratch/err"
status=$?
expected="Usage: Webhaul [<options>] <local-filename> <server-address> [<path-on-server>]"
first=$(head -n 1 "$scratch/err")
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
