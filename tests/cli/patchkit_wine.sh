#!/usr/bin/env bash
# patchkit.exe, the Windows build of the toolkit, under Wine: every
# subcommand (build, list, verify, extract, hash, hashlist, diff, --help and
# usage errors) on small fixtures made here, each run side by side with the
# native patchkit on the same inputs. Where the output is data the two must
# agree: the patches built (byte for byte, from the same stub and folder),
# the hash lists made, the payload folders diff writes, the files extract
# writes, the fingerprint lines, the JSON; and every exit status and message
# must be the native one. Some folders and files have Japanese names, given
# on the command line too.
#   tests/cli/patchkit_wine.sh <source-root> <wine-run> <prefix> <win64: 0|1> <patchkit.exe> <patch.exe>
#                              <native-build-dir>
# The native patchkit is built in <native-build-dir> (the native preset,
# kept between runs), as scripts/release builds it: a build from the same
# sources is the reference, rather than expected bytes worked out again
# here, because it is the Windows build's differences that are wanted.
set -uo pipefail
source_root=$1 wine_run=$2 prefix=$3 win64=$4 patchkit_exe=$5 stub_exe=$6 native_dir=$7
wine_args=()
[ "$win64" = 1 ] && wine_args=(--win64)
case=setup
failures=0
fail() { echo "FAIL [$case]: $*" >&2; failures=$((failures + 1)); }
die() { echo "patchkit_wine: $*" >&2; exit 1; }
wine() { "$wine_run" "${wine_args[@]}" "$prefix" "$@"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

mkdir -p "$native_dir"
if [ ! -f "$native_dir/CMakeCache.txt" ]; then
  cmake --preset native -S "$source_root" -B "$native_dir" >"$work/native-build.log" 2>&1 ||
    { cat "$work/native-build.log" >&2; die "cannot configure the native build in $native_dir"; }
fi
cmake --build "$native_dir" --target patchkit -j2 >>"$work/native-build.log" 2>&1 ||
  { cat "$work/native-build.log" >&2; die "cannot build the native patchkit"; }
native=$native_dir/tools/patchkit/patchkit

# A path as Wine shows it: the host's file system is drive Z:.
winpath() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }
wine_work=$(winpath "$work")

# What must differ between the two builds, and is made equal before they
# are compared: the Windows build writes its standard output and error in
# text mode, so every line ends in CR LF (only CR LF is undone, a stray CR
# stays and shows); and it spells the paths it was given, and the paths it
# makes from them, as Wine does (Z:\tmp\...\name, in JSON Z:\\tmp\\...\\name),
# which become the host's spelling (/tmp/.../name) again. Names inside the
# payload and the hash lists, which use '\' themselves, are no paths below
# the scratch folder and are left alone; so is everything else, JSON
# included, which must be the native build's text exactly.
normalise() { # <file>: in place
  perl -pi -e 'BEGIN { ($wine, $host) = splice @ARGV, 0, 2; ($json = $wine) =~ s/\\/\\\\/g }
    s/\r\n/\n/g;
    s{\Q$json\E((?:\\\\[^\\"]+)*)}{ (my $rest = $1) =~ s|\\\\|/|g; $host . $rest }ge;
    s{\Q$wine\E((?:\\[^\\ \t\n:"]+)*)}{ (my $rest = $1) =~ tr|\\|/|; $host . $rest }ge' \
    "$wine_work" "$work" "$1"
}

# run <native|windows> ARGS: runs one build of patchkit; sets status, out
# and err (the Windows build's normalised as above; its raw standard output
# stays in $work/raw.out). A word starting with / is a path and goes to the
# Windows build in Wine's spelling.
run() {
  local build=$1 arg args=()
  shift
  if [ "$build" = native ]; then
    "$native" "$@" >"$work/run.out" 2>"$work/run.err"
    status=$?
  else
    for arg in "$@"; do
      if [[ $arg == /* ]]; then args+=("$(winpath "$arg")"); else args+=("$arg"); fi
    done
    wine "$patchkit_exe" "${args[@]}" >"$work/run.out" 2>"$work/run.err"
    status=$?
    cp "$work/run.out" "$work/raw.out"
    normalise "$work/run.out"
    normalise "$work/run.err"
  fi
  out=$(<"$work/run.out")
  err=$(<"$work/run.err")
}

# both [-m PATH]... ARGS: the native patchkit, then patchkit.exe,
# with the same ARGS; the native run's status, out and err in nstatus, nout
# and nerr, the Windows run's in status, out and err. Each PATH the native
# run wrote is moved to PATH.native first, so both write the same names.
both() {
  local moved=() path
  while [ "${1:-}" = -m ]; do
    moved+=("$2")
    shift 2
  done
  rm -rf "${moved[@]/%/.native}"
  run native "$@"
  nstatus=$status nout=$out nerr=$err
  for path in "${moved[@]}"; do
    [ -e "$path" ] && mv "$path" "$path.native"
  done
  run windows "$@"
}
expect_status() { [ "$status" = "$1" ] || fail "exit status $status, wanted $1 (standard error: $err)"; }
# The Windows run said what the native run said.
same() {
  [ "$status" = "$nstatus" ] || fail "exit status $status, the native build's $nstatus"
  [ "$out" = "$nout" ] || fail "standard output differs from the native build's:
$(diff <(echo "$nout") <(echo "$out"))"
  [ "$err" = "$nerr" ] || fail "standard error differs from the native build's:
$(diff <(echo "$nerr") <(echo "$err"))"
}
# The files below two folders, with their bytes.
tree_of() { (cd "$1" && find . -mindepth 1 -printf '%y %s %P\n' | LC_ALL=C sort && find . -type f -print0 | LC_ALL=C sort -z | xargs -0r sha256sum); }
same_tree() { [ "$(tree_of "$1")" = "$(tree_of "$2")" ] || fail "$2 differs from $1:
$(diff <(tree_of "$1") <(tree_of "$2"))"; }

# ---------------------------------------------------------------------------
# The fixture: a payload with fixed bytes (so its fingerprints are fixed),
# an old and a new version of a game folder, and the stub.
cp "$stub_exe" stub.exe
mkdir -p payload 旧版/sys 新版/sys 新版/extra
python3 - <<'PY'
def put(name, data):
    with open(name, "wb") as f:
        f.write(data)
for folder in ("payload", "新版"):
    put(folder + "/data01100.arc", bytes(i * 7 % 251 for i in range(300000)))
    put(folder + "/readme.txt", b"Lumetria 1.01\n")
    put(folder + "/データ.txt", b"data\n")
put("旧版/readme.txt", b"Lumetria 1.01\n")
put("旧版/data01100.arc", bytes(i * 5 % 251 for i in range(1000)))
put("旧版/data01110.arc", b"the archive of 1.00" * 50)
put("新版/data01110.arc", b"the archive of 1.01" * 60)
for folder in ("旧版", "新版"):
    put(folder + "/sys/keep.dat", b"kept as it is\n")
put("旧版/sys/a.dat", b"old a\n")
put("新版/sys/a.dat", b"new a, longer\n")
put("新版/sys/セーブ.dat", b"\x00\x01\x02 save\n")
put("新版/extra/e.dat", b"extra\n")
put("旧版/gone.txt", b"only in the old version\n")
put("旧版/uninst.lst", b"data01100.arc\r\ndata01110.arc\r\n")
put("新版/uninst.lst", b"data01100.arc\r\ndata01110.arc\r\n\x83\x66\x81\x5b\x83\x5e.txt\r\n")
PY
# A link to a folder outside, which Wine shows as a reparse point (as
# Windows shows a junction): never followed, skipped with a warning. (A host
# link to a file Wine shows as the file itself, so no Windows program can
# tell it from one; the native tests have those.)
mkdir -p outside && echo "not the game's" >outside/m.dat
ln -s ../outside 新版/maps

# ---------------------------------------------------------------------------
# build: the same stub and folder give the same patch from both builds.
while IFS='|' read -r case patch args; do
  # shellcheck disable=SC2086
  both -m "$work/$patch" build --stub "$work/stub.exe" --out "$work/$patch" $args
  expect_status 0
  same
  [ -f "$work/$patch" ] && cmp -s "$work/$patch.native" "$work/$patch" || fail "the patch differs from the native build's"
done <<CASES
build --hash-list|good.exe|--hash-list $work/payload
build --hash-list --short-layout|short-layout.exe|--hash-list --short-layout $work/payload
build --hash-list-from the new version|from.exe|--hash-list-from $work/新版 $work/payload
build into a file of a Japanese name|パッチ.exe|--hash-list -q $work/payload
build into a file code page 932 cannot name|Lumetria-€ü.exe|--hash-list -q $work/payload
CASES
[ -f good.exe ] || die "patchkit.exe built no patch: nothing else can be checked"

# ---------------------------------------------------------------------------
# list, and list --json (as data).
case="list"
both list "$work/good.exe"
expect_status 0
same
[[ $out == *"    3 0x000496FE          5  C4D1C2E8980EA41A  データ.txt  [stored E38387E383BCE382BF2E747874]"* ]] ||
  fail "the Japanese entry is not listed by its name and bytes: $out"
while IFS='|' read -r case file; do
  both list --json "$work/$file"
  expect_status 0
  same
done <<'CASES'
list --json|good.exe
list --json, short layout|short-layout.exe
list --json, a patch of a Japanese name|パッチ.exe
CASES
case="list --json has every entry"
python3 -c 'import json,sys; d=json.loads(sys.argv[1]); assert [e["name"] for e in d["entries"]]==["TLM.hvl","data01100.arc","readme.txt","データ.txt"], d' "$out" ||
  fail "the entries are not the payload's: $out"

# ---------------------------------------------------------------------------
# verify: a good patch passes; a flipped payload byte and a truncated patch
# are refused, naming the entry.
dir_at=$((0x100010 + 4 * 128)) # the data area after four long records
cp good.exe flipped.exe
python3 -c 'import sys; f=open(sys.argv[1],"r+b"); f.seek(int(sys.argv[2])); b=f.read(1); f.seek(-1,1); f.write(bytes([b[0]^0xFF]))' \
  flipped.exe $((dir_at + 0x310 + 1000))
[ "$(cmp -l good.exe flipped.exe | wc -l)" = 1 ] || die "cannot flip one byte of the patch"
head -c $((dir_at + 0x496F0 + 5)) good.exe >truncated.exe
cp good.exe unsafe.exe
printf 'con.txt\0' | dd of=unsafe.exe bs=1 seek=$((0x100010 + 2 * 128)) conv=notrunc 2>/dev/null
while IFS='|' read -r case file code message; do
  both verify "$work/$file"
  expect_status "$code"
  same
  if [ "$code" = 0 ]; then
    [ "$(tail -n1 <<<"$out")" = "$work/$file: OK, the patch program accepts this payload" ] || fail "no verdict: $out"
  else
    [ "$(tail -n1 <<<"$out")" = "$work/$file: REFUSED" ] || fail "no verdict: $out"
    [[ $err == *"patchkit verify: $work/$file: $message"* ]] || fail "standard error does not say '$message': $err"
  fi
  both verify --json "$work/$file"
  expect_status "$code"
  same
done <<'CASES'
verify a good patch|good.exe|0|
verify a patch built by --hash-list-from|from.exe|0|
verify a patch of a Japanese name|パッチ.exe|0|
verify a flipped payload byte|flipped.exe|1|entry 1 (data01100.arc): fingerprint
verify a truncated patch|truncated.exe|1|entry 2 (readme.txt): its bytes run past the end of the file
verify a name the program refuses|unsafe.exe|1|entry 2 (con.txt): the name is not one the patch may write
CASES

# ---------------------------------------------------------------------------
# extract: the files written are the payload's, under their names.
case="extract"
both -m "$work/展開" extract "$work/good.exe" "$work/展開"
expect_status 0
same
for name in data01100.arc readme.txt データ.txt; do
  cmp -s "payload/$name" "展開/$name" || fail "展開/$name is not the payload's"
done
same_tree 展開.native 展開
[ "$(tr '\n' ' ' <<<"$out")" = "$work/展開/TLM.hvl $work/展開/data01100.arc $work/展開/readme.txt $work/展開/データ.txt " ] ||
  fail "the files written are said to be: $out"
# Refused: each names the reason, and writes no entry's bytes.
mkdir -p linked/payload linkout elsewhere
cp payload/readme.txt linked/payload/
python3 - <<'PY'
record = b"sub\\readme.txt".ljust(248, b"\0") + bytes.fromhex("9543381FA6AE2D0B")
open("linked/payload/TLM.hvl", "wb").write(b"TLH_V2__" + (0).to_bytes(4, "little") + (1).to_bytes(4, "little") + record)
PY
"$native" build -q --stub stub.exe --out linked.exe linked/payload || die "cannot build the patch with a sub-folder record"
ln -s ../elsewhere linkout/sub
while IFS='|' read -r case file folder message; do
  before=$(tree_of "$work/$folder" 2>/dev/null)
  both extract -q "$work/$file" "$work/$folder"
  expect_status 1
  same
  [[ $err == *"$message"* ]] || fail "standard error does not say '$message': $err"
  [ "$(tree_of "$work/$folder" 2>/dev/null)" = "$before" ] || fail "$folder changed"
  [ -z "$(ls -A elsewhere)" ] || fail "written through the link"
done <<CASES
extract over existing files|good.exe|展開|$work/展開/TLM.hvl: already exists (or is a link); not replaced
extract a name the program refuses|unsafe.exe|refused|entry 2 (con.txt): the name is not one the patch may write
extract through a link to a folder|linked.exe|linkout|$work/linkout/sub is a link; nothing is written through it
CASES
case="extract a flipped payload byte"
both -m "$work/flipped" extract -q "$work/flipped.exe" "$work/flipped"
expect_status 1
same
[[ $err == *"entry 1 (data01100.arc) does not match its record in TLM.hvl; not written"* ]] || fail "$err"
[ ! -e flipped/data01100.arc ] || fail "the damaged entry was left"
case="extract into the record's folder"
rm linkout/sub
both -m "$work/linkout" extract -q "$work/linked.exe" "$work/linkout"
expect_status 0
same
cmp -s payload/readme.txt linkout/sub/readme.txt || fail "the record's folder was not used"
same_tree linkout.native linkout

# ---------------------------------------------------------------------------
# hash and hash --check: the lines are the native build's; lists written by
# either build are read by the other.
case="hash"
both hash "$work/payload/readme.txt" "$work/payload/data01100.arc" "$work/payload/データ.txt"
expect_status 0
same
[ "$out" = "9543381FA6AE2D0B  $work/payload/readme.txt
B772B5DF0AB67F31  $work/payload/data01100.arc
C4D1C2E8980EA41A  $work/payload/データ.txt" ] || fail "not the fingerprints: $out"
# Lists of relative names, which both builds can read.
run windows hash payload/readme.txt payload/data01100.arc payload/データ.txt
cp raw.out windows.sums
"$native" hash payload/readme.txt payload/data01100.arc payload/データ.txt >native.sums
[ "$(tr -d '\r' <windows.sums)" = "$(cat native.sums)" ] || fail "the lines of relative names differ:
$(diff native.sums windows.sums)"
# A name in bytes that are not UTF-8 (nor a name on the disk) fails as one
# that cannot be read, on both builds.
not_utf8=$'payload/\xff\xfe.txt'
printf '0000000000000000  payload/readme.txt\nnot a line\nc4d1c2e8980ea41a *payload/データ.txt\n9543381FA6AE2D0B  payload/なし.txt\n9543381FA6AE2D0B  %s\n' \
  "$not_utf8" >bad.sums
while IFS='|' read -r case list code; do
  both hash --check "$work/$list"
  expect_status "$code"
  same
  [ "$code" != 0 ] || [ "$(grep -c ': OK$' <<<"$out")" = 3 ] || fail "not three files OK: $out"
done <<'CASES'
hash --check the Windows build's list (CR LF)|windows.sums|0
hash --check the native build's list|native.sums|0
hash --check failures|bad.sums|1
CASES
case="hash --check failures: the lines"
[ "$out" = "payload/readme.txt: FAILED
payload/データ.txt: OK
payload/なし.txt: FAILED (cannot be read)
$not_utf8: FAILED (cannot be read)" ] && [ "$err" = "patchkit hash: $work/bad.sums:2: not a fingerprint line" ] ||
  fail "out: $out; err: $err"

# ---------------------------------------------------------------------------
# hashlist make (both layouts) and show, of the new version with a
# sub-folder and Japanese names.
while IFS='|' read -r case list args; do
  # shellcheck disable=SC2086
  both -m "$work/$list" hashlist make $args -o "$work/$list" "$work/新版"
  expect_status 0
  same
  [ -f "$work/$list" ] && cmp -s "$work/$list.native" "$work/$list" || fail "the list differs from the native build's"
done <<'CASES'
hashlist make|long.hvl|
hashlist make --short-layout|short.hvl|--short-layout
CASES
# A list with a name in code page 932, which the program reads as text.
{ printf 'TLH_____\0\0\0\0\1\0\0\0\x83\x66\x81\x5b\x83\x5e.arc'; head -c 46 /dev/zero; printf '\x11\x11\x11\x11\x11\x11\x11\x11'; } >cp932.hvl
head -c 400 long.hvl >cut.hvl
while IFS='|' read -r case code args; do
  # shellcheck disable=SC2086
  both $args
  expect_status "$code"
  same
done <<CASES
hashlist show, long layout|0|hashlist show $work/long.hvl
hashlist show, short layout|0|hashlist show $work/short.hvl
hashlist show, a code page 932 name|0|hashlist show $work/cp932.hvl
hashlist show --json|0|hashlist show --json $work/long.hvl
hashlist show --json, a code page 932 name|0|hashlist show --json $work/cp932.hvl
hashlist show, a list cut short|1|hashlist show $work/cut.hvl
CASES
case="hashlist show: the names"
run windows hashlist show "$work/long.hvl"
[ "$(cut -c19- <<<"$out" | tail -n +2 | tr '\n' ' ')" = 'data01100.arc data01110.arc extra\e.dat readme.txt sys\a.dat sys\keep.dat sys\セーブ.dat uninst.lst データ.txt ' ] ||
  fail "not the new version's files: $out"
run windows hashlist show "$work/cp932.hvl"
[ "$(tail -n1 <<<"$out")" = "1111111111111111  データ.arc" ] || fail "$out"

# ---------------------------------------------------------------------------
# diff: the files chosen and the new TLM.hvl; then build from its folder.
case="diff"
both -m "$work/差分" diff "$work/旧版" "$work/新版" -o "$work/差分"
expect_status 0
same
same_tree 差分.native 差分
[ "$(cd 差分 && find . -type f | LC_ALL=C sort | tr '\n' ' ')" = "./TLM.hvl ./data01100.arc ./data01110.arc ./sys/a.dat ./sys/セーブ.dat ./データ.txt " ] ||
  fail "the payload folder holds: $(cd 差分 && find . -type f | LC_ALL=C sort | tr '\n' ' ')"
for name in data01100.arc data01110.arc sys/a.dat sys/セーブ.dat データ.txt; do
  cmp -s "新版/$name" "差分/$name" || fail "差分/$name is not the new version's"
done
cmp -s 差分.native/TLM.hvl 差分/TLM.hvl || fail "TLM.hvl differs from the native build's"
case="diff --json"
both -m "$work/差分-json" diff --json "$work/旧版" "$work/新版" -o "$work/差分-json"
expect_status 0
same
cmp -s 差分/TLM.hvl 差分-json/TLM.hvl || fail "another TLM.hvl"
case="diff into a folder that is not empty"
both diff "$work/旧版" "$work/新版" -o "$work/差分"
expect_status 1
same
case="build from diff's folder (its own TLM.hvl)"
both -m "$work/carried.exe" build --stub "$work/stub.exe" --out "$work/carried.exe" "$work/差分"
expect_status 0
same
cmp -s carried.exe.native carried.exe || fail "the patch differs from the native build's"
both verify -q "$work/carried.exe"
expect_status 0
same

# ---------------------------------------------------------------------------
# --help of each command (status 0, the usage on standard output) and usage
# errors (status 2, the usage on standard error).
for command in build list verify extract hash hashlist diff; do
  case="$command --help"
  both "$command" --help
  expect_status 0
  same
  [[ $out == "usage: patchkit $command"* ]] && [ -z "$err" ] || fail "no usage on standard output: $out"
done
case="--help"
both --help
expect_status 0
same
while IFS='|' read -r case args message; do
  # shellcheck disable=SC2086
  both $args
  expect_status 2
  same
  [[ $err == *"$message"* && $err == *"usage: patchkit"* ]] || fail "standard error: $err"
done <<'CASES'
no command||usage: patchkit
an unknown command|frobnicate|unknown command 'frobnicate'
list without a patch|list|needs one patch
an unknown option|verify --bogus x|unknown option --bogus
extract without a folder|extract x|needs a patch and a folder
hash without a file|hash|needs at least one file
hashlist without an action|hashlist|needs show or make
diff without -o|diff a b|needs OLD, NEW and -o DIR
build without a stub|build -o x payload|needs --stub, --out and one payload folder
both list options|build --hash-list --hash-list-from g --stub s -o x p|exclude each other
CASES

if [ "$failures" -ne 0 ]; then
  echo "patchkit_wine: $failures failure(s)" >&2
  exit 1
fi
echo "patchkit_wine: all cases passed"
