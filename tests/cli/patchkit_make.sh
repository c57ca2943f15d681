#!/usr/bin/env bash
# The toolkit's commands that make things: hashlist show and make, diff and
# build, with their exit statuses and exact output, and one chain from two
# game folders to an applied patch: diff, build, the update run.
#   tests/cli/patchkit_make.sh <patchkit> <hash_suffix> <apply_patch>
set -uo pipefail
patchkit=$1 suffix=$2 apply=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
# The registry stand-in, and with it the journal of the update run, here.
export LUMETRIA_REGISTRY=$work/registry.reg
failures=0
case=setup
fail() { echo "FAIL [$case]: $*" >&2; failures=$((failures + 1)); }

EXPECTED=DEDE0353B57306CE # the archive of the version the patch applies to
PATCHED=D5DB29012F39456F  # the archive as the patch installs it
ABC=06B4500012CC2660      # the fingerprint of "abc"
EMPTY=0000000000000000

# Runs patchkit; sets status, out and err.
pk() {
  out=$("$patchkit" "$@" 2>"$work/stderr")
  status=$?
  err=$(cat "$work/stderr")
}

# expect STATUS STDOUT STDERR: all three exactly.
expect() {
  [ "$status" = "$1" ] || fail "exit status $status, expected $1"
  [ "$out" = "$2" ] || fail "standard output:
$out
--- expected:
$2"
  [ "$err" = "$3" ] || fail "standard error:
$err
--- expected:
$3"
}

# A file with the given contents and then the fingerprint given in hex.
fingerprinted() {
  mkdir -p "$(dirname "$1")"
  head -c "$2" /dev/urandom >"$1"
  "$suffix" "$1" "$3" >/dev/null || fail "hash_suffix cannot give $1 the fingerprint $3"
}

# The fingerprint of a file, worked out here byte by byte from its
# definition (payload/content_hash.h).
fingerprint_of() {
  local h=0 a=0 b=0 c=0 d=0 x
  for x in $(od -An -tu1 -v "$1"); do
    h=$(((h * 233 + x) & 0xFFFFFFFF))
    a=$(((a + (h & 255)) & 255)) b=$((b ^ (h & 255))) c=$(((c + x) & 255)) d=$((d ^ x))
  done
  printf '%02X%02X%02X%02X%02X%02X%02X%02X' $((h & 255)) $((h >> 8 & 255)) $((h >> 16 & 255)) $((h >> 24)) $a $b $c $d
}
printf abc >abc.txt
[ "$(fingerprint_of abc.txt)" = "$ABC" ] || fail "the fingerprint of abc is $(fingerprint_of abc.txt)"

# The bytes of one hash-list record: the name zero-padded to the field,
# then the fingerprint's bytes.
record() {
  local name=$1 hex=$2 field=$3
  printf '%s' "$name"
  head -c $((field - ${#name})) /dev/zero
  printf "$(sed 's/../\\x&/g' <<<"$hex")"
}

# A little-endian u32.
u32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24)))"; }

# ---------------------------------------------------------------------------
# hashlist show: lists written byte by byte here, read back.
mkdir lists
{ printf 'TLH_V2__'; u32 0; u32 2; record data01110.arc $PATCHED 248; record 'sys\a.dat' $ABC 248; } >lists/long.hvl
{ printf 'TLH_____'; u32 42; u32 1; record readme.txt $EMPTY 56; printf 'tail'; } >lists/short.hvl
{ printf 'TLH_V2__'; u32 7; u32 0; } >lists/empty.hvl
# "データ.arc" in code page 932: the program reads it as UTF-8 text.
{ printf 'TLH_____'; u32 0; u32 1; printf '\x83\x66\x81\x5b\x83\x5e.arc'; head -c 46 /dev/zero; printf '\x11\x11\x11\x11\x11\x11\x11\x11'; } >lists/cp932.hvl
head -c 10 lists/long.hvl >lists/cut-header.hvl
head -c 400 lists/long.hvl >lists/cut-records.hvl
{ printf 'TLH_V3__'; u32 0; u32 0; } >lists/magic.hvl
{ printf 'TLH_____'; u32 0; u32 1; head -c 56 /dev/zero | tr '\0' a; u32 0; u32 0; } >lists/unterminated.hvl
# 90 katakana: 180 bytes in code page 932, 270 in UTF-8, more than the program keeps.
{ printf 'TLH_V2__'; u32 0; u32 1; for _ in $(seq 90); do printf '\x83\x66'; done; head -c 68 /dev/zero; u32 0; u32 0; } >lists/long-utf8.hvl

while IFS='|' read -r case args code expected_out expected_err; do
  # shellcheck disable=SC2086
  pk hashlist show $args
  expect "$code" "$(printf '%b' "$expected_out")" "$(printf '%b' "$expected_err")"
done <<'CASES'
long layout|lists/long.hvl|0|lists/long.hvl: long layout (256-byte records), reserved 0x00000000, 2 records\nD5DB29012F39456F  data01110.arc\n06B4500012CC2660  sys\\a.dat|
short layout, reserved field and bytes after the records|lists/short.hvl|0|lists/short.hvl: short layout (64-byte records), reserved 0x0000002A, 1 records, 4 bytes after them (never read)\n0000000000000000  readme.txt|
a whole list without records|lists/empty.hvl|0|lists/empty.hvl: long layout (256-byte records), reserved 0x00000007, 0 records|
a code page 932 name|lists/cp932.hvl|0|lists/cp932.hvl: short layout (64-byte records), reserved 0x00000000, 1 records\n1111111111111111  データ.arc|
json|--json lists/long.hvl|0|{"file":"lists/long.hvl","layout":"long","record_size":256,"reserved":0,"count":2,"trailing_bytes":0,"records":[{"name":"data01110.arc","fingerprint":"D5DB29012F39456F"},{"name":"sys\\\\a.dat","fingerprint":"06B4500012CC2660"}]}|
missing file|lists/none.hvl|1||patchkit hashlist: lists/none.hvl: no such file
a folder|lists|1||patchkit hashlist: lists: not a file
header cut short|lists/cut-header.hvl|1||patchkit hashlist: lists/cut-header.hvl: not a hash list the patch program reads: shorter than the 16-byte header
unknown magic|lists/magic.hvl|1||patchkit hashlist: lists/magic.hvl: not a hash list the patch program reads: unknown magic 544C485F56335F5F (neither TLH_V2__ nor TLH_____)
more records than the file holds|lists/cut-records.hvl|1||patchkit hashlist: lists/cut-records.hvl: damaged: the header counts 2 records of 256 bytes, but only 384 bytes follow it
a name without its terminator|lists/unterminated.hvl|1||patchkit hashlist: lists/unterminated.hvl: damaged: record 0 has no terminator inside its 56-byte name field
a name too long in UTF-8|lists/long-utf8.hvl|1||patchkit hashlist: lists/long-utf8.hvl: damaged: record 0's name does not convert to UTF-8 of at most 247 bytes
CASES

# ---------------------------------------------------------------------------
# hashlist make: the list of a folder, byte for byte.
case="hashlist make"
mkdir -p game/sys game/sys/deep elsewhere
printf abc >game/a.txt
: >game/sys/empty.bin
fingerprinted game/sys/deep/z.dat 500 1111111111111111
fingerprinted game/B.dat 300 2222222222222222
echo "the game's own list" >game/TLM.hvl
ln -s ../elsewhere game/sys/folder-link
ln -s a.txt game/file-link
{ printf 'TLH_V2__'; u32 0; u32 4; record B.dat 2222222222222222 248; record a.txt $ABC 248
  record 'sys\deep\z.dat' 1111111111111111 248; record 'sys\empty.bin' $EMPTY 248; } >expected-long.hvl
{ printf 'TLH_____'; u32 0; u32 4; record B.dat 2222222222222222 56; record a.txt $ABC 56
  record 'sys\deep\z.dat' 1111111111111111 56; record 'sys\empty.bin' $EMPTY 56; } >expected-short.hvl
links_skipped="patchkit hashlist: warning: game/file-link: a link (never followed), skipped
patchkit hashlist: warning: game/sys/folder-link: a link (never followed), skipped"
pk hashlist make game -o made.hvl
expect 0 "patchkit: wrote made.hvl: 4 records, long layout" "$links_skipped"
cmp -s made.hvl expected-long.hvl || fail "the long list differs from the expected bytes"
pk hashlist make --short-layout --quiet -o made-short.hvl game
expect 0 "" "$links_skipped"
cmp -s made-short.hvl expected-short.hvl || fail "the short list differs from the expected bytes"
# Written into the folder it lists: the output is not listed, on a second run either.
cp -r game game2
pk hashlist make game2 -o game2/list.hvl -q
pk hashlist make game2 -o game2/list.hvl -q
expect 0 "" "${links_skipped//game/game2}"
cmp -s game2/list.hvl expected-long.hvl || fail "the list lists itself"

# Names the program would refuse, or a field cannot hold: each named, nothing written.
refused="the patch program refuses this name (outside the folder, a device, a character Windows forbids, or a name of its own)"
long_folder=$(printf 'f%.0s' $(seq 200))
while IFS='|' read -r case name options reason; do
  rm -rf bad && mkdir bad && echo fine >bad/fine.txt
  mkdir -p "bad/$(dirname "$name")" && echo x >"bad/$name"
  # shellcheck disable=SC2086
  pk hashlist make $options -o bad.hvl bad
  expect 1 "" "patchkit hashlist: bad/$name: $reason
patchkit hashlist: nothing written to bad.hvl"
  [ ! -e bad.hvl ] || fail "a list was written"
done <<CASES
a device name|sys/aux.txt||$refused
a device name with superscript digit|COM¹.log||$refused
a name ending in a dot|readme.||$refused
a name ending in a space|readme ||$refused
a forbidden character|what?.txt||$refused
the journal's name|lumetria-patch.journal||$refused
a backup marker|data.arc.lumetria-bak||$refused
a backslash inside a name|a\\b.txt||its name holds a '\\', which Windows reads as a folder separator
too long for the long layout|$long_folder/$long_folder.dat||its name is 405 bytes; a long-layout record holds at most 247
one byte too long for the short layout|sys/$(printf 'n%.0s' $(seq 52))|--short-layout|its name is 56 bytes; a short-layout record holds at most 55
CASES
case="the longest name of the short layout"
rm -rf edge && mkdir -p edge/sys && printf abc >"edge/sys/$(printf 'n%.0s' $(seq 51))"
pk hashlist make --short-layout -q -o edge.hvl edge
expect 0 "" ""
{ printf 'TLH_____'; u32 0; u32 1; record "sys\\$(printf 'n%.0s' $(seq 51))" $ABC 56; } >edge-expected.hvl
cmp -s edge.hvl edge-expected.hvl || fail "the list differs from the expected bytes"

while IFS='|' read -r case args code expected_err; do
  # shellcheck disable=SC2086
  pk hashlist $args
  [ "$status" = "$code" ] || fail "exit status $status, expected $code"
  [ "$(head -n1 <<<"$err")" = "$expected_err" ] || fail "standard error starts: $(head -n1 <<<"$err")"
done <<'CASES'
no folder|make -o x.hvl nothing|1|patchkit hashlist: nothing: no such folder
a file for a folder|make -o x.hvl made.hvl|1|patchkit hashlist: made.hvl: not a folder
no output|make game|2|patchkit hashlist: make needs -o FILE and one folder
no action|--quiet|2|patchkit hashlist: unknown action '--quiet' (show or make)
unknown action|list made.hvl|2|patchkit hashlist: unknown action 'list' (show or make)
unknown option|show --long made.hvl|2|patchkit hashlist: unknown option --long
two lists|show made.hvl made.hvl|2|patchkit hashlist: show needs one hash list
CASES
case="hashlist help"
pk hashlist make --help
[ "$status" = 0 ] && [ "${out%%$'\n'*}" = "usage: patchkit hashlist show [--json] FILE" ] && [ -z "$err" ] ||
  fail "help: status $status, $out"

# ---------------------------------------------------------------------------
# diff: an installed old version and the new one.
case="diff fixture"
rm -rf old new elsewhere && mkdir -p old/sys new/sys new/extra new/maps elsewhere
fingerprinted old/data01110.arc 4000 $EXPECTED
fingerprinted new/data01110.arc 5000 $PATCHED
echo "read me" | tee old/readme.txt >new/readme.txt
echo "keep" | tee old/sys/keep.dat >new/sys/keep.dat
echo "old a" >old/sys/a.dat && printf abc >new/sys/a.dat
echo "old c" >old/sys/c.dat && echo "new c, longer" >new/sys/c.dat
echo "same size 1" >old/sys/d.dat && echo "same size 2" >new/sys/d.dat
: >new/sys/b.dat
echo "top a" >new/a.dat
echo "gone" >old/gone.txt
printf 'data01110.arc\n' >old/uninst.lst && printf 'data01110.arc\nsys\\b.dat\n' >new/uninst.lst
echo "extra" >new/extra/e.dat
echo "map" >new/maps/m.dat
ln -s ../elsewhere old/maps
echo "aux" >new/aux.txt
echo "x" >new/x.dat && echo "x tmp" >new/x.dat.tmp
echo "the new version's own list" >new/TLM.hvl
ln -s readme.txt new/link.txt

case="diff"
pk diff old new -o out
refuses="the patch program refuses this name (outside the folder, a device, a character Windows forbids, or a name of its own)"
expect 0 "shipped   a.dat (new)
shipped   data01110.arc (changed)
shipped   sys\\b.dat (new)
shipped   sys\\c.dat (changed)
shipped   sys\\d.dat (changed)
shipped   x.dat (new)
left out  aux.txt: $refuses (not listed)
left out  extra\\e.dat: its folder extra is not a real folder in OLD, and the patch creates no folders
left out  maps\\m.dat: its folder maps is not a real folder in OLD, and the patch creates no folders
left out  readme.txt: unchanged
left out  sys\\a.dat: another shipped file, a.dat, has the same file name, and the patch matches entries to records by file name alone
left out  sys\\keep.dat: unchanged
left out  uninst.lst: the uninstall list: each installation keeps its own, and the patch adds what it installs
left out  x.dat.tmp: the patch program's plan refuses it: the file would land on another entry's temporary file
left out  link.txt: a link (never followed) (not listed)
left out  gone.txt: only in OLD; a patch cannot delete files
patchkit: wrote out: 6 files and TLM.hvl listing 13" "patchkit diff: warning: old/maps: a link (never followed), skipped
patchkit diff: warning: new/link.txt: a link (never followed), skipped
patchkit diff: warning: aux.txt is neither listed nor shipped: $refuses
patchkit diff: warning: extra\\e.dat is new but cannot be shipped: its folder extra is not a real folder in OLD, and the patch creates no folders
patchkit diff: warning: maps\\m.dat is new but cannot be shipped: its folder maps is not a real folder in OLD, and the patch creates no folders
patchkit diff: warning: sys\\a.dat is changed but cannot be shipped: another shipped file, a.dat, has the same file name, and the patch matches entries to records by file name alone
patchkit diff: warning: x.dat.tmp is new but cannot be shipped: the patch program's plan refuses it: the file would land on another entry's temporary file"
[ "$(cd out && find . | LC_ALL=C sort | tr '\n' ' ')" = ". ./TLM.hvl ./a.dat ./data01110.arc ./sys ./sys/b.dat ./sys/c.dat ./sys/d.dat ./x.dat " ] ||
  fail "the payload folder holds: $(cd out && find . | LC_ALL=C sort | tr '\n' ' ')"
for name in a.dat data01110.arc sys/b.dat sys/c.dat sys/d.dat x.dat; do
  cmp -s "new/$name" "out/$name" || fail "out/$name is not the new version's"
done
# The list: every file of the new version, the shipped ones first.
listed="a.dat data01110.arc sys/b.dat sys/c.dat sys/d.dat x.dat extra/e.dat maps/m.dat readme.txt sys/a.dat sys/keep.dat uninst.lst x.dat.tmp"
expected_list="out/TLM.hvl: long layout (256-byte records), reserved 0x00000000, 13 records"
for name in $listed; do expected_list+=$'\n'"$(fingerprint_of "new/$name")  ${name//\//\\}"; done
pk hashlist show out/TLM.hvl
expect 0 "$expected_list" ""
[ "$(sed -n 2p <<<"$out")" = "$(fingerprint_of new/a.dat)  a.dat" ] &&
  [ "$(sed -n 3p <<<"$out")" = "$PATCHED  data01110.arc" ] && [ "$(sed -n 11p <<<"$out")" = "$ABC  sys\\a.dat" ] ||
  fail "fingerprints in the list: $out"

case="diff --quiet into an existing empty folder"
mkdir out-quiet
pk diff -q old new -o out-quiet
[ "$status" = 0 ] && [ -z "$out" ] && [ "$(wc -l <<<"$err")" = 7 ] || fail "status $status, out '$out', err '$err'"
cmp -s out/TLM.hvl out-quiet/TLM.hvl || fail "a second run wrote another list"

# The JSON form, on a small pair of folders.
case="diff --json"
rm -rf j-old j-new && mkdir j-old j-new
fingerprinted j-old/data01110.arc 100 $EXPECTED
fingerprinted j-new/data01110.arc 100 $PATCHED
printf abc >j-new/abc.txt
echo same | tee j-old/Same.TXT >j-new/same.txt
echo old >j-old/old.txt
size=$(stat -c %s j-new/data01110.arc)
pk diff --json j-old j-new -o j-out
expect 0 '{"old":"j-old","new":"j-new","out":"j-out","listed":3,"shipped":[{"name":"abc.txt","size":3,"fingerprint":"06B4500012CC2660","why":"new"},{"name":"data01110.arc","size":'"$size"',"fingerprint":"D5DB29012F39456F","why":"changed"}],"left_out":[{"name":"same.txt","from":"new","listed":true,"reason":"unchanged"},{"name":"old.txt","from":"old","listed":false,"reason":"only in OLD; a patch cannot delete files"}],"warnings":[]}' ""

# A folder named in code page 932 holding a file named in UTF-8: the program
# reads the record's name as code page 932 as a whole, so its final component
# is not the entry's name, and nothing would verify the entry or put it there.
case="diff: a record the entry's name does not match"
rm -rf c-old c-new && mkdir -p "c-old/$(printf '\x83\x66')" "c-new/$(printf '\x83\x66')"
fingerprinted c-old/data01110.arc 10 $EXPECTED
fingerprinted c-new/data01110.arc 10 $PATCHED
echo new >"c-new/$(printf '\x83\x66')/ファイル.dat"
pk diff -q c-old c-new -o c-out
expect 0 "" "patchkit diff: warning: $(printf '\x83\x66')\\ファイル.dat is new but cannot be shipped: the patch would install it at ファイル.dat: no record matches its file name as the patch program reads it"
[ "$(ls c-out | tr "\n" " ")" = "TLM.hvl data01110.arc " ] || fail "shipped: $(ls c-out)"

# The version archive: what the patch would make of the two versions.
no_old="patchkit diff: warning: OLD has no data01110.arc: the patch's version check would fail on that installation"
old_patched="patchkit diff: warning: OLD's data01110.arc has fingerprint $PATCHED, not $EXPECTED: the patch would refuse that installation"
new_expected="patchkit diff: warning: NEW's data01110.arc has fingerprint $EXPECTED, not $PATCHED: the patch would not recognise a patched installation (no 'already applied')"
not_shipped="patchkit diff: warning: data01110.arc is not among the shipped files: the patch would leave the version it checks unchanged"
while IFS='|' read -r case old_archive new_archive expected_err; do
  rm -rf v-old v-new v-out && mkdir v-old v-new
  echo other | tee v-old/other.txt >v-new/other.txt
  [ "$old_archive" = none ] || fingerprinted v-old/data01110.arc 64 "$old_archive"
  case $new_archive in
    none) ;;
    same) cp v-old/data01110.arc v-new/ ;;
    *) fingerprinted v-new/data01110.arc 80 "$new_archive" ;;
  esac
  pk diff -q v-old v-new -o v-out
  expect 0 "" "$(eval "printf '%b' \"$expected_err\"")"
done <<'CASES'
the versions the patch expects|DEDE0353B57306CE|D5DB29012F39456F|
old archive missing|none|D5DB29012F39456F|$no_old
old archive already patched|D5DB29012F39456F|D5DB29012F39456F|$old_patched
new archive not the patched one|DEDE0353B57306CE|DEDE0353B57306CE|$new_expected
archive unchanged|DEDE0353B57306CE|same|$new_expected\n$not_shipped
archive missing from the new version|DEDE0353B57306CE|none|$not_shipped
CASES

# Failures: nothing is written.
case="diff fixture: failures"
rm -rf e-old many && mkdir e-old many && echo 1 >e-old/one.txt
for i in $(seq 32); do echo "$i" >"many/f$i.dat"; done
echo occupied >occupied.txt
mkdir -p full && echo x >full/x
while IFS='|' read -r case args code expected_err; do
  rm -rf d-out
  # shellcheck disable=SC2086
  pk diff $args
  [ "$status" = "$code" ] || fail "exit status $status, expected $code"
  [ -z "$out" ] || fail "standard output: $out"
  [ "$(head -n1 <<<"$err")" = "$expected_err" ] || fail "standard error: $err"
  [ ! -e d-out ] || fail "d-out was created"
done <<'CASES'
output folder not empty|e-old j-new -o full|1|patchkit diff: full: exists and is not empty
output is a file|e-old j-new -o occupied.txt|1|patchkit diff: occupied.txt: exists and is not a folder
old folder missing|nothing j-new -o d-out|1|patchkit diff: nothing: no such folder
new folder is a file|e-old occupied.txt -o d-out|1|patchkit diff: occupied.txt: not a folder
more files than a patch holds|e-old many -o d-out|1|patchkit diff: 32 files of many would be shipped; a patch holds at most 31 besides its TLM.hvl; nothing written
no output folder|e-old j-new|2|patchkit diff: needs OLD, NEW and -o DIR
one folder|e-old -o d-out|2|patchkit diff: needs OLD, NEW and -o DIR
unknown option|--fast e-old j-new -o d-out|2|patchkit diff: unknown option --fast
CASES
[ "$(ls full)" = x ] || fail "the non-empty folder was written into"
case="diff: as many files as a patch holds"
rm many/f32.dat
pk diff -q e-old many -o d-out
[ "$status" = 0 ] && [ "$(ls d-out | wc -l)" = 32 ] || fail "status $status, $(ls d-out | wc -l) files: $err"

# ---------------------------------------------------------------------------
# build, and the chain: the patch built from diff's folder, applied to the
# old version, leaves the new one.
printf 'MZ stub of the patch program' >stub
entry_names() { # the directory's names, as the program's reader finds them (long layout)
  local count i
  count=$(od -An -tu4 -j $((1048576 + 12)) -N4 "$1" | tr -d ' ')
  for ((i = 0; i < count; i++)); do
    dd if="$1" bs=1 skip=$((1048576 + 16 + i * 128)) count=96 2>/dev/null | tr -d '\0'
    printf ' %s\n' "$(od -An -tu4 -j $((1048576 + 16 + i * 128 + 100)) -N4 "$1" | tr -d ' ')"
  done
}
case="build from diff's folder"
pk build --stub stub --out patch.bin out
total=$((1048576 + 16 + 7 * 128 + 16 + 13 * 256 + 6 + $(stat -c %s new/data01110.arc) + 0 + 14 + 12 + 2))
expect 0 "patchkit: wrote patch.bin: 7 entries, $total bytes" ""
[ "$(stat -c %s patch.bin)" = $total ] || fail "size $(stat -c %s patch.bin)"
cmp -s -n "$(stat -c %s stub)" stub patch.bin || fail "the stub is not at the start"
[ "$(dd if=patch.bin bs=1 skip=1048576 count=12 2>/dev/null)" = "VORNAK ARC20" ] || fail "not the long layout"
[ "$(entry_names patch.bin)" = "TLM.hvl 3344
a.dat 6
data01110.arc $(stat -c %s new/data01110.arc)
b.dat 0
c.dat 14
d.dat 12
x.dat 2" ] || fail "entries: $(entry_names patch.bin)"
stub_size=$(stat -c %s stub)
cmp -s -i "$stub_size:0" -n $((1048576 - stub_size)) patch.bin /dev/zero || fail "the padding is not zero bytes"

case="the built patch applied to the old version"
rm -rf installed && cp -a old installed
result=$("$apply" patch.bin installed 2>/dev/null)
[ "$result" = "result 0x00000000" ] || fail "the update run says: $result"
for name in a.dat data01110.arc readme.txt sys/b.dat sys/c.dat sys/d.dat sys/keep.dat x.dat; do
  cmp -s "new/$name" "installed/$name" || fail "installed/$name is not the new version's"
done
cmp -s old/sys/a.dat installed/sys/a.dat || fail "sys/a.dat, which could not be shipped, changed"
[ -e installed/gone.txt ] || fail "a file only in the old version went"
# The installed list is diff's, without the records of files the folder
# lacks; the record behind the folder link maps stays, since the prune never
# looks through a link.
pk hashlist show installed/TLM.hvl
expected_installed=$(grep -v -e 'extra\\e.dat' -e 'x.dat.tmp' <<<"${expected_list//out\/TLM.hvl/installed/TLM.hvl}")
expect 0 "${expected_installed/13 records/11 records}" ""

case="build --hash-list-from the new version"
pk build --hash-list-from new --stub stub --out from.bin out
[ "$status" = 1 ] && [ "$err" = "patchkit build: warning: new/link.txt: a link (never followed), skipped
patchkit build: new/aux.txt: $refuses
patchkit build: nothing written" ] || fail "a name the program refuses passed: $status $err"
[ ! -e from.bin ] || fail "from.bin was written"
cp -a new new-safe && rm new-safe/aux.txt new-safe/link.txt
pk build --hash-list-from new-safe --stub stub --out from.bin out
expect 0 "patchkit: wrote from.bin: 7 entries, $(stat -c %s patch.bin) bytes" ""
cmp -s from.bin patch.bin || fail "the list made from the new version differs from diff's"

case="build into the payload folder"
rm -rf self && mkdir self && printf abc >self/b.txt
pk build --hash-list -q --stub stub -o self/self.bin self
pk build --hash-list --stub stub -o self/self.bin self
expect 0 "patchkit: wrote self/self.bin: 2 entries, $((1048576 + 16 + 2 * 128 + 16 + 256 + 3)) bytes" ""

case="build --hash-list, long and short layout"
rm -rf flat && mkdir flat && printf abc >flat/b.txt && : >flat/a.bin && echo stale >flat/TLM.hvl
pk build --hash-list --stub stub --out flat.bin flat
expect 0 "patchkit: wrote flat.bin: 3 entries, $((1048576 + 16 + 3 * 128 + 16 + 2 * 256 + 3)) bytes" ""
[ "$(entry_names flat.bin)" = "TLM.hvl 528
a.bin 0
b.txt 3" ] || fail "entries: $(entry_names flat.bin)"
{ printf 'TLH_V2__'; u32 0; u32 2; record a.bin $EMPTY 248; record b.txt $ABC 248; } >flat-expected.hvl
cmp -s <(tail -c +$((1048576 + 16 + 3 * 128 + 1)) flat.bin | head -c 528) flat-expected.hvl || fail "the made list differs"
pk build --hash-list --short-layout -q --stub stub -o flat-short.bin flat
expect 0 "" ""
[ "$(dd if=flat-short.bin bs=1 skip=1048576 count=12 2>/dev/null)" = "VORNAK ARC10" ] &&
  [ "$(stat -c %s flat-short.bin)" = $((1048576 + 16 + 3 * 32 + 528 + 3)) ] || fail "not the short layout"

# Failures: each names the file, and no patch is left behind.
printf abd >abd.txt
ABD=$(fingerprint_of abd.txt)
refuses_name="the patch program refuses this name (outside the folder, a device, a character Windows forbids, or a name of its own)"
while IFS='|' read -r case setup args expected_err; do
  rm -rf bp bg bp.bin && mkdir -p bp/sys bg
  printf abc >bp/one.dat
  eval "$setup"
  # shellcheck disable=SC2086
  pk build --stub stub --out bp.bin $args
  code=1 && [[ $expected_err == *"exclude each other"* ]] && code=2
  [ "$status" = "$code" ] || fail "exit status $status, expected $code"
  expected_err=$(eval "printf '%s' \"$expected_err\"")
  [ "$(head -n1 <<<"$err")" = "$expected_err" ] || fail "standard error: $err
--- expected:
$expected_err"
  [ ! -e bp.bin ] || fail "bp.bin was left behind"
done <<'CASES'
a device name|echo x >bp/sys/nul.txt|bp|patchkit build: bp/sys/nul.txt: $refuses_name
a backup marker|echo x >bp/a.lumetria-bak|bp|patchkit build: bp/a.lumetria-bak: $refuses_name
a sub-folder file without its record|echo x >bp/sys/s.dat|bp|patchkit build: bp/sys/s.dat: the patch would install it at s.dat (no record of the hash list has its file name)
a sub-folder file another record claims|mkdir bp/z && printf abc >bp/z/q.dat && { printf TLH_V2__; u32 0; u32 1; record 'sys\q.dat' $ABC 248; } >bp/TLM.hvl|bp|patchkit build: bp/z/q.dat: the patch would install it at sys\\q.dat (the first record with its file name)
two files of one name|echo x >bp/sys/one.dat|--hash-list bp|patchkit build: bp/sys/one.dat: has the same file name as one.dat, and the patch matches entries to records by file name alone
two names that differ only in the case of a letter outside ASCII|echo x >bp/É.dat && echo y >bp/é.dat|bp|patchkit build: bp/é.dat: has the same file name as É.dat, and the patch matches entries to records by file name alone
bytes that differ from the record|"$patchkit" hashlist make bp -o bp/TLM.hvl -q && : >bp/one.dat|bp|patchkit build: bp/one.dat: its fingerprint is $EMPTY, but its record one.dat says $ABC: the patch would refuse itself as damaged
a damaged hash list|{ printf TLH_V2__; u32 0; u32 5; } >bp/TLM.hvl|bp|patchkit build: bp/TLM.hvl: the patch program cannot use this hash list (the header counts 5 records of 256 bytes, but only 0 bytes follow it), so it would verify nothing
a name of TLM.hvl in a sub-folder|echo x >bp/sys/tlm.HVL|bp|patchkit build: bp/sys/tlm.HVL: an entry of this file name would be taken for the payload's own hash list
a file the game folder lacks|echo x >bg/other.dat|--hash-list-from bg bp|patchkit build: bp/one.dat: bg has no one.dat
a file the game folder has with another size|echo longer >bg/one.dat|--hash-list-from bg bp|patchkit build: bp/one.dat: 3 bytes, but bg/one.dat has 7
a file the game folder has with other bytes|cp abd.txt bg/one.dat|--hash-list-from bg bp|patchkit build: bp/one.dat: its fingerprint is $ABC, but its record one.dat says $ABD: the patch would refuse itself as damaged
a name too long for the short layout|echo x >bp/sixteen-bytes.ab|--short-layout bp|patchkit build: bp/sixteen-bytes.ab: its file name is 16 bytes; a short-layout directory record holds at most 15
more entries than a patch holds|for i in $(seq 32); do echo $i >bp/f$i; done|--hash-list bp|patchkit build: bp: 33 files and a TLM.hvl; a patch holds at most 32 entries
a stub above 1 MiB|head -c 1048577 /dev/zero >big-stub|--stub big-stub bp|patchkit build: the stub big-stub is 1048577 bytes; the payload must start at 1048576
a missing stub|:|--stub no-stub bp|patchkit build: cannot read the stub no-stub
both list options|:|--hash-list --hash-list-from bg bp|patchkit build: --hash-list and --hash-list-from exclude each other
CASES

if [ "$failures" -ne 0 ]; then
  echo "patchkit_make: $failures failures" >&2
  exit 1
fi
echo "patchkit_make: all cases passed"
