#!/usr/bin/env bash
# The release build gives the same files whoever builds it, wherever and
# whenever. The win32 release stub (patch.exe) is built twice from copies of
# the source at two different paths, with the clock of each build set to a
# different date (faketime), and the two files must be equal byte for byte:
# no link time in the PE header, no build path anywhere in the file. Then
# patchkit build must give identical patches from the same stub and payload,
# whatever the folder's path, the order its files were made in and their
# times.
#   tests/cli/reproducible.sh <source-root> <patchkit>
set -uo pipefail
source_root=$1 patchkit=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
die() { echo "reproducible: $*" >&2; exit 1; }

for tool in faketime i686-w64-mingw32-g++-posix cmake ninja; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup installs it)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
u32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' \n'; }

# patchkit build: the same stub and payload, laid out in two folders whose
# files were made in opposite orders with different times.
printf 'MZ stub of the patch program' >"$work/stub"
mkdir -p "$work/one/payload/sub" "$work/the-other-payload/sub"
head -c 5000 /dev/urandom >"$work/data01110.arc"
head -c 70000 /dev/urandom >"$work/data01100.arc"
printf 'readme\r\n' >"$work/readme.txt"
printf 'nested\r\n' >"$work/nested.txt"
for file in data01110.arc data01100.arc readme.txt; do cp "$work/$file" "$work/one/payload/$file"; done
cp "$work/nested.txt" "$work/one/payload/sub/nested.txt"
touch -d '2001-02-03 04:05:06' "$work"/one/payload/* "$work/one/payload/sub/nested.txt"
cp "$work/nested.txt" "$work/the-other-payload/sub/nested.txt"
for file in readme.txt data01100.arc data01110.arc; do cp "$work/$file" "$work/the-other-payload/$file"; done
touch -d '2029-10-11 12:13:14' "$work"/the-other-payload/* "$work/the-other-payload/sub/nested.txt"
make_list() {
  "$patchkit" hashlist make -o "$1/TLM.hvl" "$1" >/dev/null || die "patchkit hashlist make fails in $1"
}
make_list "$work/one/payload"
make_list "$work/the-other-payload"
cmp -s "$work/one/payload/TLM.hvl" "$work/the-other-payload/TLM.hvl" ||
  fail "patchkit hashlist make gives different lists for the same files"
build_patch() { "$patchkit" build --quiet "${@:3}" --stub "$work/stub" --out "$2" "$1" || die "patchkit build fails on $1"; }
build_patch "$work/one/payload" "$work/a.bin"
build_patch "$work/one/payload" "$work/b.bin"
build_patch "$work/the-other-payload" "$work/c.bin"
cmp -s "$work/a.bin" "$work/b.bin" || fail "patchkit build twice on the same folder gives different patches"
cmp -s "$work/a.bin" "$work/c.bin" || fail "patchkit build on the same files in another folder gives a different patch"
rm "$work/one/payload/TLM.hvl" "$work/the-other-payload/TLM.hvl"
build_patch "$work/one/payload" "$work/d.bin" --hash-list
build_patch "$work/the-other-payload" "$work/e.bin" --hash-list
cmp -s "$work/d.bin" "$work/e.bin" || fail "patchkit build --hash-list gives different patches for the same files"

# The release stub, built in two copies of the source at different paths
# and on different dates. The copies leave out build folders and Git's data.
copy_source() {
  mkdir -p "$1"
  tar -C "$source_root" --exclude=./build --exclude=./.git -cf - . | tar -C "$1" -xf - ||
    die "cannot copy the source to $1"
}
build_stub() {
  local source=$1 date=$2
  (cd "$source" && env -u SOURCE_DATE_EPOCH faketime "$date" bash -c \
    'cmake --preset win32 -DCMAKE_BUILD_TYPE=MinSizeRel && cmake --build --preset win32 --target patch patchkit') \
    >"$source.log" 2>&1 || { cat "$source.log" >&2; die "the release build in $source fails"; }
}
first=$work/first/src
second=$work/second-clone-at-a-longer-path/lumetria/src
copy_source "$first"
copy_source "$second"
build_stub "$first" '2001-02-03 04:05:06'
build_stub "$second" '2029-10-11 12:13:14'
a=$first/build/win32/app/patch.exe b=$second/build/win32/app/patch.exe
kit_a=$first/build/win32/tools/patchkit/patchkit.exe kit_b=$second/build/win32/tools/patchkit/patchkit.exe
[ -f "$a" ] && [ -f "$b" ] || die "the builds left no patch.exe"
[ -f "$kit_a" ] && [ -f "$kit_b" ] || die "the builds left no patchkit.exe"

# Each file on its own: no link time, no build path.
pe=$(u32 "$a" $((0x3c)))
[ "$(u32 "$a" $((pe + 8)))" = 0 ] || fail "the PE header of patch.exe carries a link time ($(u32 "$a" $((pe + 8))))"
for file in "$a" "$b" "$kit_a" "$kit_b"; do
  source=${file%/build/win32/*}
  for text in "$source" "${source#/}" "$work"; do
    grep -qaF "$text" "$file" && fail "$file holds the build path $text"
    # As UTF-16LE too, as Windows strings are.
    python3 -c 'import sys; sys.exit(sys.argv[2].encode("utf-16-le") not in open(sys.argv[1], "rb").read())' \
      "$file" "$text" && fail "$file holds the build path $text in UTF-16"
  done
done
if ! cmp -s "$a" "$b"; then
  fail "the two release builds of patch.exe differ: $(cmp -l "$a" "$b" | wc -l) bytes, from offset $(($(cmp "$a" "$b" | sed 's/.*byte \([0-9]*\).*/\1/') - 1))" \
    "(the PE time stamp is at $((pe + 8)), the checksum at $((pe + 24 + 64)))"
fi

cmp -s "$kit_a" "$kit_b" ||
  fail "the two release builds of patchkit.exe differ: $(cmp -l "$kit_a" "$kit_b" | wc -l) bytes"

if [ $failures -ne 0 ]; then
  echo "reproducible: $failures failures" >&2
  exit 1
fi
echo "reproducible: patchkit build is deterministic; patch.exe $(stat -c %s "$a") bytes, sha256 $(sha256sum "$a" | cut -c1-64)," \
  "and patchkit.exe $(stat -c %s "$kit_a") bytes, the same from both builds"
