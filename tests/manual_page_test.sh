#!/bin/sh
# The manual page renders without a single groff warning, and its OPTIONS
# section describes every option the program accepts: those its usage text
# lists, -? (which prints that text) and --.
# Arguments: the zas program, the manual page.
set -eu
zas=$1
page=$2

fail() {
  echo "manual page: $*"
  exit 1
}
if ! command -v groff >/dev/null 2>&1; then
  echo "manual page: groff is not installed (Debian package groff-base); not checked"
  exit 77
fi

warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns:
$warnings"

usage=$("$zas" -? || true)
tab=$(printf '\t')
options=$(printf '%s\n' "$usage" | sed -n "s/^  \(-[A-Za-z?]\)$tab.*/\1/p")
[ -n "$options" ] || fail "no options found in the usage text of $zas"

# The rendered OPTIONS section: from its heading to the next one. Each option
# must be the tag of one of its paragraphs, the first word of a line.
section=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null | awk '/^[A-Z]/ { inside = ($0 == "OPTIONS") } inside')
[ -n "$section" ] || fail "no OPTIONS section"
for option in $options '-?' '--'; do
  printf '%s\n' "$section" | awk -v option="$option" '$1 == option { found = 1 } END { exit !found }' ||
    fail "option $option is not described under OPTIONS"
done
