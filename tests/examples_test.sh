#!/bin/sh
# The programs in example/ build against an installation of the library as
# any other program would, through pkg-config, and work: pack writes an
# archive of a few files (the same bytes for the same seed), list lists it
# and prints one entry byte for byte, and the installed zas extracts the
# files again. A small CMake project finds the installed package with
# find_package(zas) and links both targets. Last, without the shared
# library, `pkg-config --static` links the static one.
# Arguments: cmake, its generator, the C compiler, the build tree, the
# sources.
set -eu
cmake=$1
generator=$2
cc=$3
build=$4
source=$5

fail() {
  printf 'examples: %s\n' "$*"
  exit 1
}
if ! command -v pkg-config >/dev/null 2>&1; then
  echo "examples: pkg-config is not installed (Debian package pkg-config); not checked"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
"$cmake" --install "$build" --prefix "$prefix" >"$work/log" 2>&1 || {
  cat "$work/log"
  fail "cmake --install failed"
}
pc=$(find "$prefix" -name zas.pc)
[ -n "$pc" ] || fail "no zas.pc installed"
libdir=$(dirname "$(dirname "$pc")")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
export LD_LIBRARY_PATH="$libdir"

cd "$work"
for program in list pack; do
  # shellcheck disable=SC2046 # the flags are words
  "$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$program" "$source/example/$program.c" \
    $(pkg-config --cflags --libs zas) || fail "$program.c does not build against the installation"
done

mkdir -p files/maps files/text
printf 'Tarrow\nharbour\n' >files/readme.txt
awk 'BEGIN { for (i = 0; i < 3000; i++) printf "%d%s", i % 251, (i % 7 ? " " : "\n") }' >files/maps/harbour.map
printf '\000\001\377\r\n' >>files/maps/harbour.map
: >files/text/empty.txt
touch -d '2005-12-26 17:04:06 UTC' files/readme.txt files/maps/harbour.map files/text/empty.txt
names="files/readme.txt files/maps/harbour.map files/text/empty.txt"

# shellcheck disable=SC2086 # the names are words
./pack -s 7 one.zas $names || fail "pack failed"
# shellcheck disable=SC2086
./pack -s 7 two.zas $names || fail "pack failed the second time"
cmp -s one.zas two.zas || fail "pack -s 7 wrote different archives for the same files"

./list one.zas >listing || fail "list failed"
# Size, kind, date and path of each file, in the order pack was given them.
expected=$(for name in $names; do
  size=$(wc -c <"$name")
  kind=compressed
  [ "$size" -ne 0 ] || kind=stored
  printf '%s %s 2005-12-26 17:04:06 \\%s\n' "$size" "$kind" "$(printf '%s' "$name" | tr / '\\')"
done)
[ "$(awk '{ print $1, $3, $4, $5, $6 }' listing)" = "$expected" ] || fail "list shows
$(cat listing)
instead of
$expected"

for name in files/maps/harbour.map FILES/README.TXT files/text/empty.txt; do
  ./list one.zas "$name" >entry || fail "list one.zas $name failed"
  cmp -s entry "$(printf '%s' "$name" | tr 'A-Z' 'a-z')" || fail "list one.zas $name prints other bytes"
done
status=0
./list one.zas files/missing.txt >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "list of a missing entry exited with $status, not 1"

status=0
"$prefix/bin/zas" -x one.zas restored >/dev/null || status=$?
[ "$status" -eq 1 ] || fail "zas -x of the packed archive exited with $status, not 1"
diff -r files restored/files >/dev/null || fail "zas -x does not give the packed files back"

# find_package(zas): the shared and the static library.
mkdir consumer
cp "$source/example/list.c" consumer/
cat >consumer/CMakeLists.txt <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(consumer LANGUAGES C)
find_package(zas REQUIRED)
add_executable(list_shared list.c)
target_link_libraries(list_shared PRIVATE zas::zas)
add_executable(list_static list.c)
target_link_libraries(list_static PRIVATE zas::zas_static)
EOF
"$cmake" -S consumer -B consumer/build -G "$generator" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/log" 2>&1 && "$cmake" --build consumer/build >>"$work/log" 2>&1 || {
  cat "$work/log"
  fail "a CMake project does not build against the installed package"
}
for program in list_shared list_static; do
  consumer/build/$program one.zas files/readme.txt >entry || fail "$program failed"
  cmp -s entry files/readme.txt || fail "$program prints other bytes"
done

rm -f "$libdir"/libzas.so*
unset LD_LIBRARY_PATH
# shellcheck disable=SC2046
"$cc" -std=c99 -o list_static "$source/example/list.c" $(pkg-config --static --cflags --libs zas) ||
  fail "list.c does not link statically with pkg-config --static"
./list_static one.zas files/maps/harbour.map >entry || fail "the statically linked list failed"
cmp -s entry files/maps/harbour.map || fail "the statically linked list prints other bytes"
