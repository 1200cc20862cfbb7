#!/bin/sh
# Installs the build into a temporary DESTDIR, as a package would, and runs
# the installed program. The installation holds the program and the manual
# pages of doc/ (section 1 and the library's in section 3; zas-mount and its
# page where zas-mount is built), the shared and
# the static library, the header, zas.pc, the CMake package and (where there
# is a python3) the Python module zasfile in Debian's folder for every
# Python 3, and nothing else (no tests); the program starts from there with
# the installed library, prints its banner and the usage text, and exits
# with 1, and the module loads that library.
# Arguments: cmake, the build tree, the folder of the manual pages, and
# "sanitized" when the build is.
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
python=$(command -v python3 || true)
package=usr/lib/python3/dist-packages/zasfile
if [ -n "$python" ]; then
  for name in __init__.py __main__.py _native.py py.typed; do
    [ -f "$package/$name" ] || fail "$package/$name is not installed"
  done
fi
unexpected=$(find . ! -type d | grep -v -e '^\./usr/bin/zas$' -e '^\./usr/bin/zas-mount$' -e '^\./usr/share/man/' \
               -e '^\./usr/include/zas\.h$' \
               -e "^\./$libdir/" -e "^\./$package/[_a-z]*\.py$" -e "^\./$package/py\.typed$" || true)
[ -z "$unexpected" ] || fail "unexpected files: $unexpected"
for page in "$doc"/*.[1-9]; do
  [ "$(basename "$page")" != zas-mount.1 ] || [ -e usr/bin/zas-mount ] || continue
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

# The module finds the installed library by its SONAME. (A plain python3
# cannot load a library built with the sanitizers.)
if [ -n "$python" ] && [ "${4:-plain}" != sanitized ]; then
  version=$(cd "$root" && unset ZASFILE_LIBRARY && PYTHONPATH="$root/dest/$package/.." PYTHONDONTWRITEBYTECODE=1 \
    LD_LIBRARY_PATH="$root/dest/$libdir" "$python" -c 'import zasfile; print(zasfile.library_version())' 2>&1) ||
    fail "the installed zasfile does not load: $version"
  case $version in
  [0-9]*.[0-9]*.[0-9]*) ;;
  *) fail "the installed zasfile gives no library version: $version" ;;
  esac
fi

# zas-mount, where it is built: with its page, and it starts with the
# installed library.
if [ -e usr/bin/zas-mount ]; then
  [ -f usr/share/man/man1/zas-mount.1 ] || fail "zas-mount is installed without its manual page"
  LD_LIBRARY_PATH="$root/dest/$libdir" usr/bin/zas-mount --version >"$root/output" 2>&1 ||
    fail "the installed zas-mount --version failed: $(cat "$root/output")"
fi
