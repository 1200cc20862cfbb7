#!/bin/sh
# Installs the build into a temporary DESTDIR, as a package would, and runs
# the installed program. The installation holds the program and the manual
# pages of doc/ (section 1 and the library's in section 3), the shared and
# the static library, the header, zas.pc and the CMake package, and nothing
# else (no tests); the program starts from there with the installed library,
# prints its banner and the usage text, and exits with 1.
# Arguments: cmake, the build tree, the folder of the manual pages.
set -eu
cmake=$1
build=$2
doc=$3

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
cd "$root/dest"
for path in usr/bin/zas usr/share/man/man1/zas.1 usr/share/man/man3/zas.3 usr/include/zas.h; do
  [ -f "$path" ] || fail "$path is not installed"
done
libdir=$(dirname "$(find usr -name 'libzas.so.1' | head -n 1)")
[ -n "$libdir" ] && [ "$libdir" != . ] || fail "libzas.so.1 is not installed"
for name in libzas.so libzas.a pkgconfig/zas.pc cmake/zas/zasConfig.cmake cmake/zas/zasConfigVersion.cmake \
            cmake/zas/zasTargets.cmake; do
  [ -e "$libdir/$name" ] || fail "$libdir/$name is not installed"
done
unexpected=$(find . ! -type d | grep -v -e '^\./usr/bin/zas$' -e '^\./usr/share/man/' -e '^\./usr/include/zas\.h$' \
               -e "^\./$libdir/" || true)
[ -z "$unexpected" ] || fail "unexpected files: $unexpected"
for page in "$doc"/*.[1-9]; do
  installed="usr/share/man/man${page##*.}/$(basename "$page")"
  cmp -s "$page" "$installed" || fail "$installed is not installed as $page"
done
[ -x usr/bin/zas ] || fail "the installed zas is not executable"

status=0
# Run as an installed program is: by its name, from the PATH, with the
# installed library.
(cd "$root" && PATH="$root/dest/usr/bin:$PATH" LD_LIBRARY_PATH="$root/dest/$libdir" zas) >"$root/output" 2>&1 ||
  status=$?
[ "$status" -eq 1 ] || fail "the installed zas exited with $status, not 1: $(cat "$root/output")"
head -n 1 "$root/output" | grep -q '^Utility for archiving Tarrow files \[[0-9.]*/' || fail "no banner: $(head -n 1 "$root/output")"
grep -q '^Usage: zas \[options\] \[source\] \[destination\]$' "$root/output" || fail "no usage text"
