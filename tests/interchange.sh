#!/usr/bin/env bash
# Archives are interchangeable between the Windows and the Linux build: an
# archive written by either lists the same and extracts to the same tree
# (contents and last-write times) with both, stored and compressed.
# Usage: interchange.sh WINDOWS_ZAS_EXE LINUX_ZAS
set -euo pipefail
windows_zas=$1
linux_zas=$2
wine=${WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=-all

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A small tree: text, binary, a file longer than the codec's ring, an empty
# file, an empty directory, and dates with milliseconds.
mkdir -p data/maps data/gfx/deep data/empty
printf 'size 4 2\n~~..\n#T^~\n' > data/maps/harbour.map
awk 'BEGIN { for (i = 0; i < 3000; i++) printf "unit%d=%d,%d\n", i % 37, i * 7 % 101, i % 5 }' > data/units.ini
awk 'BEGIN { srand(7); for (i = 0; i < 20000; i++) printf "%c", int(rand() * 256) }' > data/gfx/noise.bin
: > data/gfx/deep/empty.txt
touch -d '2019-04-01 12:34:56.789' data/maps/harbour.map
touch -d '1999-12-31 23:59:59.001' data/units.ini
touch -d '2024-02-29 00:00:00.5' data/gfx/deep data/gfx/noise.bin

# Runs zas (Linux or Windows), which exits with 1 after a clean run, and
# keeps its output without the banner and with Windows line ends undone.
zas() {
  local build=$1
  shift
  local status=0
  if [ "$build" = windows ]; then
    "$wine" "$windows_zas" "$@" > out.raw || status=$?
  else
    "$linux_zas" "$@" > out.raw || status=$?
  fi
  if [ "$status" -ne 1 ]; then
    cat out.raw
    echo "interchange: $build zas $* exited with $status"
    exit 1
  fi
  tail -n +4 out.raw | sed 's/\r$//'
}

describe() {
  (cd "$1" && find . -printf '%y %p %s %T@\n' | sort)
}

failures=0
for options in "-a" "-a -c"; do
  for writer in linux windows; do
    rm -rf archive.zas x-linux x-windows
    zas "$writer" $options data archive.zas > /dev/null
    zas linux -v archive.zas > list-linux
    zas windows -v archive.zas > list-windows
    if ! diff list-linux list-windows; then
      echo "interchange: listings differ for an archive written by $writer with $options"
      failures=$((failures + 1))
    fi
    for reader in linux windows; do
      zas "$reader" -x archive.zas "x-$reader" > /dev/null
      if ! diff -r data "x-$reader/data"; then
        echo "interchange: $reader extracts other contents from a $writer archive ($options)"
        failures=$((failures + 1))
      fi
    done
    if ! diff <(describe x-linux) <(describe x-windows); then
      echo "interchange: trees or dates differ between the two readers of a $writer archive ($options)"
      failures=$((failures + 1))
    fi
    echo "interchange: $options written by $writer: listed and extracted alike by both builds"
  done
done
# Names that are ordinary on Linux but that Windows would shorten: x and x.
# would come out as one file, the second over the first. The Windows build
# skips x. with a warning and leaves x as it was.
rm -rf data archive.zas x-windows
mkdir data
printf first > data/x
printf second > data/x.
zas linux -a data archive.zas > /dev/null
status=0
"$wine" "$windows_zas" -x archive.zas x-windows > out.raw || status=$?
warnings=$(tr '\r' '\n' < out.raw | grep '^Warning:' || true)
expected='Warning: Skipped file "\data\x.": its path is not safe to extract'
if [ "$status" -ne 0 ] || [ "$warnings" != "$expected" ] || [ "$(cat x-windows/data/x)" != first ] ||
   [ "$(ls x-windows/data)" != x ]; then
  cat out.raw
  echo "interchange: the Windows build extracts x and x. of a Linux archive otherwise than as x and one warning"
  failures=$((failures + 1))
else
  echo "interchange: x and x. written by linux: x and one warning from the Windows build"
fi

if [ "$failures" -ne 0 ]; then
  echo "interchange: $failures failures"
  exit 1
fi
