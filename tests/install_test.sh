#!/bin/sh
# Installs the build into a temporary DESTDIR, as a package would, and runs
# the installed program. The installation holds the program and its manual
# page and nothing else (no libraries, no tests); the program starts from
# there, prints its banner and the usage text, and exits with 1.
# Arguments: cmake, the build tree, the manual page in the sources.
set -eu
cmake=$1
build=$2
page=$3

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() {
  echo "install: $*"
  exit 1
}

DESTDIR="$root/dest" "$cmake" --install "$build" --prefix /usr >"$root/log" 2>&1 || {
  cat "$root/log"
  fail "cmake --install failed"
}
installed=$(cd "$root/dest" && find . ! -type d | sort | tr '\n' ' ')
[ "$installed" = "./usr/bin/zas ./usr/share/man/man1/zas.1 " ] || fail "installed: $installed"
cmp -s "$page" "$root/dest/usr/share/man/man1/zas.1" || fail "the installed manual page differs from $page"
[ -x "$root/dest/usr/bin/zas" ] || fail "the installed zas is not executable"

status=0
# Run as an installed program is: by its name, from the PATH.
(cd "$root" && PATH="$root/dest/usr/bin:$PATH" && zas) >"$root/output" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "the installed zas exited with $status, not 1"
head -n 1 "$root/output" | grep -q '^Utility for archiving Tarrow files \[[0-9.]*/' || fail "no banner: $(head -n 1 "$root/output")"
grep -q '^Usage: zas \[options\] \[source\] \[destination\]$' "$root/output" || fail "no usage text"
