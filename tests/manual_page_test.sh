#!/bin/sh
# The manual pages in doc/: every page renders without a single groff
# warning; a page that only sources another (".so man3/zas_open.3") names
# one that exists and lists it in its NAME section. zas.1's OPTIONS section
# describes every option the program accepts: those its usage text lists,
# -? (which prints that text) and --. Every function the header declares
# has a page in section 3, showing it in the SYNOPSIS, and every name a
# section 3 page gives in NAME is a function the header declares (or the
# library itself).
# Arguments: the zas program, the folder of the pages, the header.
set -eu
zas=$1
doc=$2
header=$3

fail() {
  echo "manual page: $*"
  exit 1
}
if ! command -v groff >/dev/null 2>&1; then
  echo "manual page: groff is not installed (Debian package groff-base); not checked"
  exit 77
fi

# Each page rendered once, as plain text, into $rendered/NAME.
rendered=$(mktemp -d)
trap 'rm -rf "$rendered"' EXIT
# The page a ".so" page sources, empty for a page of its own.
sourced() {
  sed -n 's/^\.so  *man[0-9]\/\([^ ]*\)$/\1/p' "$1"
}
# The section named $2 of the rendered page $1: from its heading to the next.
section() {
  awk -v name="$2" '/^[A-Z]/ { inside = ($0 == name) } inside' "$rendered/$1"
}
# The names a page's NAME section gives, one a line.
names() {
  section "$1" NAME | sed '1d' | tr '\n' ' ' | sed 's/ - .*//' | tr ', ' '\n\n' | sed '/^$/d'
}

for page in "$doc"/*.[1-9]; do
  [ -n "$(sourced "$page")" ] || groff -man -Tascii -P-cbou "$page" >"$rendered/$(basename "$page")" 2>/dev/null
done
for page in "$doc"/*.[1-9]; do
  name=$(basename "$page")
  target=$(sourced "$page")
  if [ -n "$target" ]; then
    [ "$(grep -cv '^\.\\"' "$page")" -eq 1 ] || fail "$name holds more than its .so request"
    [ -f "$doc/$target" ] || fail "$name sources $target, which does not exist"
    [ -z "$(sourced "$doc/$target")" ] || fail "$name sources $target, which only sources another"
    names "$target" | grep -qx "${name%.*}" || fail "$target does not list ${name%.*} in NAME"
    continue
  fi
  warnings=$(groff -man -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns about $name:
$warnings"
  [ -n "$(names "$name")" ] || fail "$name has no NAME section"
done

# zas.1: the options.
usage=$("$zas" -? || true)
tab=$(printf '\t')
options=$(printf '%s\n' "$usage" | sed -n "s/^  \(-[A-Za-z?]\)$tab.*/\1/p")
[ -n "$options" ] || fail "no options found in the usage text of $zas"
# Each option must be the tag of one of the OPTIONS section's paragraphs,
# the first word of a line.
options_section=$(section zas.1 OPTIONS)
[ -n "$options_section" ] || fail "zas.1 has no OPTIONS section"
for option in $options '-?' '--'; do
  printf '%s\n' "$options_section" | awk -v option="$option" '$1 == option { found = 1 } END { exit !found }' ||
    fail "option $option is not described under OPTIONS of zas.1"
done

# Section 3: the functions of the header.
functions=$(sed -n 's/^ZAS_API [^(]*[ *]\(zas_[a-z_]*\)(.*/\1/p' "$header" | sort -u)
[ -n "$functions" ] || fail "no functions found in $header"
for function in $functions; do
  page="$function.3"
  [ -f "$doc/$page" ] || fail "$function has no page $page"
  target=$(sourced "$doc/$page")
  [ -z "$target" ] || page=$target
  section "$page" SYNOPSIS | grep -q "[ *]$function(" || fail "$function is not in the SYNOPSIS of $page"
done
for page in "$doc"/*.3; do
  [ -z "$(sourced "$page")" ] || continue
  for name in $(names "$(basename "$page")"); do
    case "$name" in
      zas | libzas) ;;
      *) printf '%s\n' "$functions" | grep -qx "$name" ||
           fail "$(basename "$page") names $name, which $header does not declare" ;;
    esac
  done
done
