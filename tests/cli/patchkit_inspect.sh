#!/usr/bin/env bash
# patchkit list, verify, extract and hash on small patches made here: the
# exit status and the exact output of the main paths, and the damaged or
# hostile inputs that must be refused (a flipped byte, a truncated patch, a
# name the program refuses, a program image reaching into the payload, an
# existing file or a link in the output folder, usage errors).
#   tests/cli/patchkit_inspect.sh <patchkit> <patch program>
set -uo pipefail
patchkit=$1 program=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
case_name=""
fail() { echo "FAIL [$case_name]: $*" >&2; failures=$((failures + 1)); }

# Runs patchkit; sets status, out (standard output) and err (standard error).
pk() {
  out=$("$patchkit" "$@" 2>"$work/stderr")
  status=$?
  err=$(cat "$work/stderr")
}
expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, wanted $1 (stderr: $err)"; }
# The whole of standard output (or error) must be exactly the text given.
expect_out() { [ "$out" = "$1" ] || fail "standard output differs:$(diff <(echo "$1") <(echo "$out"))"; }
expect_err() { [ "$err" = "$1" ] || fail "standard error differs:$(diff <(echo "$1") <(echo "$err"))"; }

# A payload with fixed bytes, so the fingerprints below are fixed too.
mkdir -p "$work/payload"
cd "$work"
strip -o stub "$program" 2>/dev/null || cp "$program" stub
python3 - <<'PY'
with open("payload/data01100.arc", "wb") as f:
    f.write(bytes(i * 7 % 251 for i in range(300000)))
with open("payload/readme.txt", "wb") as f:
    f.write(b"Lumetria 1.01\n")
with open("payload/\u30c7\u30fc\u30bf.txt".encode(), "wb") as f:
    f.write(b"data\n")
PY
"$patchkit" build --hash-list --stub stub --out good payload >/dev/null || { echo "cannot build the patch" >&2; exit 1; }
dir_at=$(( 0x100010 + 4 * 128 ))  # the data area after four long records

case_name="list"
pk list good
expect_status 0
expect_out "good: long layout (128-byte records), 4 entries, data area at 0x100210
index     offset       size  fingerprint       name
    0 0x00000000        784  -                 TLM.hvl  (the hash list)
    1 0x00000310     300000  B772B5DF0AB67F31  data01100.arc
    2 0x000496F0         14  9543381FA6AE2D0B  readme.txt
    3 0x000496FE          5  C4D1C2E8980EA41A  データ.txt  [stored E38387E383BCE382BF2E747874]"

case_name="list --json"
pk list --json good
expect_status 0
python3 -c 'import json,sys; d=json.loads(sys.argv[1]); assert d["layout"]=="long" and len(d["entries"])==4 and d["entries"][3]["name"]=="データ.txt" and d["entries"][1]["record"]["fingerprint"]==d["entries"][1]["record"]["fingerprint"].upper(), d' "$out" ||
  fail "not the JSON wanted: $out"

case_name="verify"
pk verify good
expect_status 0
expect_out "hash-list  TLM.hvl (784 bytes): 3 records
ok         data01100.arc (300000 bytes): B772B5DF0AB67F31
ok         readme.txt (14 bytes): 9543381FA6AE2D0B
ok         データ.txt (5 bytes): C4D1C2E8980EA41A
note: not signed
good: OK, the patch program accepts this payload"
pk verify --quiet good
expect_status 0
expect_out "good: OK, the patch program accepts this payload"

# Damaged copies of the good patch, each with the message that names it.
damage() {  # <copy> <offset> <bytes as python literal>
  cp good "$1"
  python3 -c 'import sys; f=open(sys.argv[1],"r+b"); f.seek(int(sys.argv[2])); f.write(eval(sys.argv[3]))' "$1" "$2" "$3"
}
damage flipped $((dir_at + 0x310 + 1000)) 'b"\xFF\xFF"'
damage unsafe $(( 0x100010 + 2 * 128 )) 'b"con.txt\0"'
damage hashlist $(( dir_at + 0 )) 'b"TLH_XX__"'
head -c $((dir_at + 0x496F0 + 5)) good >short
# The program image claims to run past 1 MiB (its section table moved).
cp good overlong
python3 - <<'PY'
import struct
with open("overlong", "r+b") as f:
    head = f.read(64)
    wide = head[4] == 2
    at = 0x28 if wide else 0x20
    f.seek(at)
    f.write(struct.pack("<Q" if wide else "<I", 0x200000))
PY
while IFS='|' read -r file message; do
  case_name="verify $file"
  pk verify -q "$file"
  expect_status 1
  expect_out "$file: REFUSED"
  [[ "$err" == *"patchkit verify: $file: "*"$message"* ]] || fail "stderr does not say '$message': $err"
done <<'CASES'
flipped|entry 1 (data01100.arc): fingerprint
unsafe|entry 2 (con.txt): the name is not one the patch may write
hashlist|TLM.hvl (entry 0) is damaged
short|entry 2 (readme.txt): its bytes run past the end of the file
overlong|bytes and reaches into the payload at 1 MiB
CASES
case_name="verify not a patch"
head -c 5000 good >tiny
pk verify tiny
expect_status 1
[[ "$err" == *"no readable payload at 1 MiB"* ]] || fail "$err"

case_name="extract"
pk extract good out
expect_status 0
expect_out "out/TLM.hvl
out/data01100.arc
out/readme.txt
out/データ.txt"
for name in data01100.arc readme.txt データ.txt; do
  cmp -s "payload/$name" "out/$name" || fail "$name is not what was packed"
done
case_name="extract over existing files"
pk extract -q good out
expect_status 1
expect_err "patchkit extract: out/TLM.hvl: already exists (or is a link); not replaced"
case_name="extract refuses"
for file in unsafe flipped hashlist; do
  rm -rf refused
  pk extract -q "$file" refused
  expect_status 1
  [ ! -e refused/data01100.arc ] || fail "$file: a refused entry was written"
done
# A record whose name has a folder, and that folder a link out of the output.
case_name="extract through a link"
mkdir -p linked/payload elsewhere linkout
cp payload/readme.txt linked/payload/
hash=$("$patchkit" hash linked/payload/readme.txt | cut -c1-16)
python3 - "$hash" <<'PY'
import sys
record = b"sub\\readme.txt".ljust(248, b"\0") + bytes.fromhex(sys.argv[1])
open("linked/payload/TLM.hvl", "wb").write(b"TLH_V2__" + (0).to_bytes(4, "little") + (1).to_bytes(4, "little") + record)
PY
"$patchkit" build --stub stub --out linked/patch linked/payload >/dev/null || fail "cannot build"
ln -s ../elsewhere linkout/sub
pk extract -q linked/patch linkout
expect_status 1
[[ "$err" == *"linkout/sub is a link; nothing is written through it"* ]] || fail "$err"
[ -z "$(ls elsewhere)" ] || fail "written through the link"
rm linkout/sub
pk extract -q linked/patch linkout
expect_status 0
cmp -s payload/readme.txt linkout/sub/readme.txt || fail "the record's folder was not used"

case_name="hash"
pk hash payload/readme.txt payload/data01100.arc
expect_status 0
expect_out "9543381FA6AE2D0B  payload/readme.txt
B772B5DF0AB67F31  payload/data01100.arc"
echo "$out" >sums
printf 'b772b5df0ab67f31 *payload/data01100.arc\r\n' >>sums
pk hash --check sums
expect_status 0
expect_out "payload/readme.txt: OK
payload/data01100.arc: OK
payload/data01100.arc: OK"
case_name="hash --check failures"
printf '0000000000000000  payload/readme.txt\nnot a line\n9543381FA6AE2D0B  payload/missing\n' >badsums
pk hash -c -q badsums
expect_status 1
expect_out "payload/readme.txt: FAILED
payload/missing: FAILED (cannot be read)"
expect_err "patchkit hash: badsums:2: not a fingerprint line"
pk hash payload/missing
expect_status 1
expect_err "patchkit hash: payload/missing: cannot be read"

# Usage errors: status 2 and the usage; --help: status 0 on standard output.
while IFS='|' read -r words message; do
  case_name="usage: $words"
  # shellcheck disable=SC2086
  pk $words
  expect_status 2
  [[ "$err" == *"$message"* && "$err" == *"usage: patchkit"* ]] || fail "stderr: $err"
done <<'CASES'
|usage: patchkit
frobnicate|unknown command 'frobnicate'
list|needs one patch
list --bogus good|unknown option --bogus
verify -x good|unknown option -x
extract good|needs a patch and a folder
hash|needs at least one file
hash --check=yes sums|takes no value
CASES
for command in build list verify extract hash hashlist diff; do
  case_name="$command --help"
  pk "$command" --help
  expect_status 0
  [[ "$out" == "usage: patchkit $command"* ]] || fail "no usage on standard output: $out"
done

if [ "$failures" -ne 0 ]; then
  echo "patchkit_inspect: $failures failure(s)" >&2
  exit 1
fi
echo "patchkit_inspect: all cases passed"
