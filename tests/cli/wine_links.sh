#!/usr/bin/env bash
# Links planted below the install folder, against the Win32 layer under
# Wine. A Win32 program cannot make a symbolic link under Wine 8
# (CreateSymbolicLinkW reports success and makes nothing), but Wine shows a
# link to a folder made on the host as a reparse point, as Windows shows a
# junction: this script plants them with ln -s and runs the update with the
# Win32 build's apply_patch. (A host link to a file Wine shows as the file
# itself, with no reparse attribute, so no Win32 program can tell it apart;
# those cases are tested on the POSIX layer.)
#   tests/cli/wine_links.sh <wine-run> <prefix> <win64: 0|1> <apply_patch.exe> <patchkit.exe>
set -uo pipefail
wine_run=$1 prefix=$2 win64=$3 apply=$4 patchkit=$5
wine_args=()
[ "$win64" = 1 ] && wine_args=(--win64)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL [$case]: $*" >&2; failures=$((failures + 1)); }
wine() { "$wine_run" "${wine_args[@]}" "$prefix" "$@"; }

# The payload: an archive to replace, and an empty file whose record in the
# payload's hash list puts it into the sub-folder sys (the empty file's
# fingerprint is eight zero bytes).
mkdir -p "$work/payload"
head -c 3000 /dev/urandom >"$work/payload/data01100.arc"
: >"$work/payload/data.arc"
{
  printf 'TLH_V2__\0\0\0\0\1\0\0\0'
  printf 'sys\\data.arc'
  head -c $((248 - 12 + 8)) /dev/zero
} >"$work/payload/TLM.hvl"
printf 'MZ' >"$work/stub"
wine "$patchkit" build --stub "Z:$work/stub" --out "Z:$work/patch.bin" "Z:$work/payload" >/dev/null ||
  { echo "wine_links: cannot build the patch" >&2; exit 1; }

make_game() {
  rm -rf "$work/game" "$work/outside" "$work/moved"
  mkdir -p "$work/game/sys" "$work/outside/folder"
  echo old >"$work/game/data01100.arc"
  printf 'data01100.arc\r\n' >"$work/game/uninst.lst"
  echo "the player cannot write this" >"$work/outside/victim.txt"
}

apply() { wine "$apply" "Z:$work/patch.bin" "Z:$work/game" | tr -d '\r'; }

check_outside() {
  [ "$(cat "$work/outside/folder/keep.txt")" = "the player cannot write this" ] || fail "the link's target was changed"
  [ "$(ls -A "$work/outside/folder")" = keep.txt ] || fail "a file was written into the linked folder"
}

# Folder links at names the run creates: never written through. Windows
# removes such a link itself and goes on; Wine cannot remove it without
# touching its target, so the run stops there, before anything is replaced
# (or, for a record's rewrite, leaves that record alone).
while IFS='|' read -r case name expected; do
  make_game
  echo "the player cannot write this" >"$work/outside/folder/keep.txt"
  ln -s "$work/outside/folder" "$work/game/$name"
  result=$(apply)
  [ "$result" = "result $expected" ] || fail "$result, expected $expected"
  check_outside
  if [ "$expected" = 0x80000004 ]; then
    [ "$(cat "$work/game/data01100.arc")" = old ] || fail "data01100.arc changed"
  else
    cmp -s "$work/payload/data01100.arc" "$work/game/data01100.arc" || fail "data01100.arc not installed"
  fi
done <<'CASES'
temporary file|data01100.arc.tmp|0x80000004
temporary file in the sub-folder|sys/data.arc.tmp|0x80000004
hash list rewrite|TLM.hvl.new|0x00000000
CASES

case="journal's old name in the folder"
# The journal is kept in the registry: nothing at its old name in the game
# folder is read, written or removed.
make_game
echo "the player cannot write this" >"$work/outside/folder/keep.txt"
ln -s "$work/outside/folder" "$work/game/lumetria-patch.journal"
result=$(apply)
[ "$result" = "result 0x00000000" ] || fail "$result, expected 0x00000000"
check_outside
[ -L "$work/game/lumetria-patch.journal" ] || fail "the link at the journal's old name was touched"

case="uninstall list rewrite"
# A link at the list's rewrite sibling: the list cannot be rewritten. The
# files stay installed, the journal stays, and once the name is free the
# next start merges the list and clears up.
make_game
echo "the player cannot write this" >"$work/outside/folder/keep.txt"
ln -s "$work/outside/folder" "$work/game/uninst.lst.new"
result=$(apply)
[ "$result" = "result 0x80000005" ] || fail "$result, expected 0x80000005"
check_outside
cmp -s "$work/payload/data01100.arc" "$work/game/data01100.arc" || fail "data01100.arc not installed"
[ -e "$work/game/data01100.arc.lumetria-bak" ] || fail "the backups were removed before the records"
rm "$work/game/uninst.lst.new"
result=$(wine "$apply" --recover "Z:$work/game" | tr -d '\r' | tr '\n' ' ')
[ "$result" = "finished result 0x00000000 " ] || fail "$result, expected the update finished"
grep -q "data01100.arc" "$work/game/uninst.lst" && grep -q "sys" "$work/game/uninst.lst" || fail "uninst.lst not merged"
[ -z "$(find "$work/game" -name '*.lumetria-bak*' -o -name '*.tmp' -o -name '*.new')" ] || fail "leftovers"
result=$(wine "$apply" --recover "Z:$work/game" | tr -d '\r' | tr '\n' ' ')
[ "$result" = "nothing result 0x00000000 " ] || fail "$result: a journal was left"

case="linked sub-folder"
make_game
echo "the player cannot write this" >"$work/outside/folder/keep.txt"
rm -rf "$work/game/sys"
ln -s "$work/outside/folder" "$work/game/sys"
result=$(apply)
[ "$result" = "result 0x80000004" ] || fail "$result, expected 0x80000004"
check_outside
[ "$(cat "$work/game/data01100.arc")" = old ] || fail "data01100.arc changed"

case="linked install folder"
make_game
mv "$work/game" "$work/moved"
ln -s "$work/moved" "$work/game"
result=$(apply)
[ "$result" = "result 0x00000000" ] || fail "$result, expected 0x00000000"
cmp -s "$work/payload/data01100.arc" "$work/moved/data01100.arc" || fail "data01100.arc not installed"
rm -rf "$work/moved" "$work/game"

if [ $failures -ne 0 ]; then
  echo "wine_links: $failures failures" >&2
  exit 1
fi
echo "wine_links: every case passed"
