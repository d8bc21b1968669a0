#!/usr/bin/env bash
# Catches a manual page that groff or mandoc warns about, or that misses a
# section, an option of the usage text or an exit status.
# Usage: man_page_test.sh MAN-PAGE WEBHAUL-BINARY
set -uo pipefail
page=$1
binary=$2
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Prints the plain text of one section of the rendered page.
section() {
  awk -v name="$1" '/^[A-Z]/ { inside = ($0 == name); next } inside' <<<"$rendered"
}

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || fail "groff failed on the page"
[ -z "$warnings" ] || fail "groff warns: $warnings"
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man failed on the page"
  [ -z "$warnings" ] || fail "man warns: $warnings"
fi
# mandoc's lint also holds the page to the conventions: a date it can
# read, a short NAME line, lines that fit a terminal.
if command -v mandoc >/dev/null; then
  # Its exit status tells only warnings and worse; style notes count too.
  warnings=$(mandoc -T lint "$page" 2>&1)
  [ -z "$warnings" ] || fail "mandoc -T lint: $warnings"
else
  echo "mandoc is not installed: the page was not linted with it" >&2
fi

rendered=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
for heading in NAME SYNOPSIS DESCRIPTION URLS OPTIONS "EXIT STATUS" "WHEN A TRANSFER BREAKS" EXAMPLES "SEE ALSO" BUGS; do
  grep -qx "$heading" <<<"$rendered" || fail "no section $heading"
done

# Every option of the usage text ("  -vn    ...") is described.
usage=$("$binary" 2>&1 >/dev/null)
options=$(sed -n 's/^  -\([a-z]\).*/\1/p' <<<"$usage")
[ -n "$options" ] || fail "no options found in the usage text"
# Read once: grep -q leaving a pipe early would fail the pipeline under pipefail.
described=$(section OPTIONS)
for letter in $options; do
  grep -Eq "^ +-$letter" <<<"$described" || fail "option -$letter is not described"
done
grep -q -- "-rfirst--1" <<<"$described" || fail "the open-ended range form is not described"
for level in 0 1 3 4 5 8 9; do
  grep -Eq "^ +$level +[a-zA-Z*]" <<<"$described" || fail "verbosity level $level is not described"
done

exits=$(section "EXIT STATUS")
for status in 0 1 2 3 4 5 6 7 10 11 12 13 14 99; do
  grep -Eq "^ +$status +[A-Z]" <<<"$exits" || fail "exit status $status is not described"
done
grep -A2 -E "^ +4 " <<<"$exits" | tr -s ' \n' ' ' | grep -q "written" ||
  fail "exit status 4 does not mention a failed write"

# --help: under 40 lines, this page's exit statuses, only variables its ENVIRONMENT names.
help=$("$binary" --help)
[ "$(wc -l <<<"$help")" -lt 40 ] || fail "--help takes 40 lines or more"
[ "$(sed -En 's/^  ([0-9]+) .*/\1/p' <<<"$help")" = "$(sed -En 's/^ +([0-9]+) +[A-Z].*/\1/p' <<<"$exits")" ] ||
  fail "--help lists other exit statuses than EXIT STATUS"
for variable in $(sed -n '/^Environment:/,/^Exit/p' <<<"$help" | grep -oE '[A-Za-z]+_[A-Za-z_]+|\b[A-Z]{3,}\b'); do
  grep -qw -- "$variable" <<<"$(section ENVIRONMENT)" || fail "--help names $variable, ENVIRONMENT does not"
done

limits=$(section BUGS | tr -s ' \n' ' ')
for limit in "IPv6" "HTTP/1.0"; do
  grep -qi -- "$limit" <<<"$limits" || fail "limit not named: $limit"
done
# Host lines, ports and TLS are no longer limits: the description tells them.
for gone in "Host" "port 80" "TLS" "https"; do
  grep -qi -- "$gone" <<<"$limits" && fail "a lifted limit is still named: $gone"
done
description=$(section DESCRIPTION | tr -s ' \n' ' ')
for told in "Host" ":port" "1 to 65535"; do
  grep -q -- "$told" <<<"$description" || fail "the description does not tell: $told"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s) in $page" >&2
  exit 1
fi
echo "manual page renders cleanly and covers every option and exit status"
