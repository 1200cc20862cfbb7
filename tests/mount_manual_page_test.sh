#!/bin/sh
# The manual page of zas-mount renders without a single groff warning, and
# its OPTIONS section describes every option the usage text lists.
# Arguments: the zas-mount program, the manual page.
set -eu
program=$1
page=$2

fail() {
  echo "zas-mount manual page: $*"
  exit 1
}
if ! command -v groff >/dev/null 2>&1; then
  echo "zas-mount manual page: groff is not installed (Debian package groff-base); not checked"
  exit 77
fi

warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns:
$warnings"

usage=$("$program" --help 2>&1)
options=$(printf '%s\n' "$usage" | grep -o -e '^  *-[A-Za-z]' -e '--[a-z]*' -e '[a-z_]*=BYTES' |
  sed -e 's/^ *//' -e 's/=BYTES$/=/')
[ -n "$options" ] || fail "no options found in the usage text of $program"

section=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null | awk '/^[A-Z]/ { inside = ($0 == "OPTIONS") } inside')
[ -n "$section" ] || fail "no OPTIONS section"
for option in $options; do
  printf '%s\n' "$section" | grep -q -e "^ *$option" -e "^ *-[A-Za-z], $option" || fail "option $option is not described under OPTIONS"
done
