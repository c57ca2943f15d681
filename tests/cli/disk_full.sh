#!/usr/bin/env bash
# The POSIX program on a file system that really runs out of space: the game
# folder lies on a small tmpfs of the test's own, and a ballast file beside
# it leaves exactly as many free blocks as each case asks for. A run that
# cannot write its files must end with the write-failure message and leave
# the folder as it was; one that installed the files but cannot rewrite the
# uninstall list must say so and keep the new files. With the space freed,
# the next run after a failed write completes the update.
#   tests/cli/disk_full.sh <patch program> <patchkit> <hash_suffix>
# tmpfs counts space in whole pages and nothing else (no journal, no
# reserved blocks, no metadata blocks, no delayed allocation), so the free
# space each case leaves is exact. Exit status 77 (the test's
# SKIP_RETURN_CODE) means no file system could be made here.
set -uo pipefail
program=$1 patchkit=$2 suffix=$3
skip=77

# The test runs in a mount namespace of its own: its file system goes away
# with it, however it ends, and nobody else sees it.
if [ "${DISK_FULL_NAMESPACE:-}" != 1 ]; then
  if ! command -v unshare >/dev/null; then
    echo "disk_full: SKIPPED: unshare is not installed, so the test cannot make a file system of its own" >&2
    exit $skip
  fi
  # Root makes one directly; anyone else inside a user namespace of their
  # own, where they may mount a tmpfs as well.
  for namespace in "--mount" "--user --map-root-user --mount"; do
    # shellcheck disable=SC2086 # the options, word by word
    if why=$(unshare $namespace --propagation private true 2>&1); then
      DISK_FULL_NAMESPACE=1 exec unshare $namespace --propagation private "$BASH" "$0" "$@"
    fi
  done
  echo "disk_full: SKIPPED: cannot make a private mount namespace: $why" >&2
  exit $skip
fi

work=$(mktemp -d)
mnt=$work/fs game=$work/fs/game ballast=$work/fs/ballast
mkdir -p "$mnt"
# huge=never: space is counted in pages, whatever the system's default.
if ! why=$(mount -t tmpfs -o size=8m,huge=never,mode=0755 lumetria-disk-full "$mnt" 2>&1); then
  echo "disk_full: SKIPPED: cannot mount a tmpfs: $why" >&2
  rm -rf "$work"
  exit $skip
fi
trap 'umount "$mnt" 2>/dev/null; rm -rf "$work"' EXIT
block=$(stat -f -c %S "$mnt")
failures=0
case=setup
fail() { echo "FAIL [$case]: $*" >&2; failures=$((failures + 1)); }

export XDG_RUNTIME_DIR=$work/run LUMETRIA_REGISTRY=$work/registry.reg
mkdir -p "$XDG_RUNTIME_DIR"
cat >"$LUMETRIA_REGISTRY" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\PELWIN SOFT\\Lumetria]
"InstalledFolder"="\\"$game\\""
REG

# The patch, outside the small file system: the archive as the patch
# installs it, a replaced archive of two and a half pieces, a new text file,
# and the hash list patchkit makes of them.
strip -o "$work/stub" "$program" 2>/dev/null || cp "$program" "$work/stub"
mkdir -p "$work/payload"
head -c 6000 /dev/urandom >"$work/payload/data01110.arc"
"$suffix" "$work/payload/data01110.arc" D5DB29012F39456F >/dev/null || fail "cannot fingerprint the payload"
head -c 2600000 /dev/urandom >"$work/payload/data01100.arc"
echo patched >"$work/payload/readme.txt"
if ! "$patchkit" build --hash-list --stub "$work/stub" --out "$work/patched" "$work/payload" >/dev/null ||
  ! "$patchkit" extract "$work/patched" "$work/entries" >/dev/null; then
  echo "disk_full: patchkit cannot build the patch (is the program below 1 MiB?)" >&2
  exit 1
fi
chmod +x "$work/patched"

blocks_of() { echo $(( ($(stat -c %s "$1") + block - 1) / block )); }
# T: the blocks of every temporary file (each entry as extracted), which the
# cases' arithmetic reads. The journal is kept beside the registry file,
# outside the game's file system.
T=0
for entry in "$work/entries"/*; do T=$((T + $(blocks_of "$entry"))); done
journal_left() { [ -n "$(ls -A "$LUMETRIA_REGISTRY.values" 2>/dev/null)" ]; }

# The installation to update: its uninstall list (every file of the game,
# in CRLF lines) is larger than any room a case leaves after the files.
voices() { seq -f 'voice%05g.ogg' 1 4000; }
make_game() {
  rm -rf "$game" "$ballast" "$LUMETRIA_REGISTRY.values" && mkdir -p "$game"
  head -c 4000 /dev/urandom >"$game/data01110.arc"
  "$suffix" "$game/data01110.arc" DEDE0353B57306CE >/dev/null || fail "cannot fingerprint the archive"
  head -c 300000 /dev/urandom >"$game/data01100.arc"
  { printf 'data01100.arc\r\ndata01110.arc\r\n'; voices | sed 's/$/\r/'; } >"$game/uninst.lst"
  cp "$game/uninst.lst" "$work/uninst.lst.before"
}

# Fills the file system with the ballast until exactly $1 blocks are free.
leave_free() {
  rm -f "$ballast"
  local free
  free=$(stat -f -c %a "$mnt")
  [ "$free" -ge "$1" ] || { fail "only $free blocks free, $1 asked for"; return 1; }
  head -c $(( (free - $1) * block )) /dev/zero >"$ballast" || true
  free=$(stat -f -c %a "$mnt")
  [ "$free" -eq "$1" ] || { fail "$free blocks free, $1 asked for"; return 1; }
}

# Every file of the folder with its type, size, mode and checksum.
snapshot() {
  (cd "$game" && find . -printf '%y %s %m %P\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

# Runs the patch with the given answers (printf escapes); sets status and output.
run() {
  # shellcheck disable=SC2059
  # A run that has not ended after a minute is killed (status 124): the
  # flow fails and the next one still runs.
  output=$(printf "$1" 2>/dev/null | timeout -k 5 60 "$work/patched" 2>&1; echo "status=${PIPESTATUS[1]}")
  status=${output##*status=}
  output=${output%status=*}
}

caption="「Lumetria」 ver 1.01 更新パッチ"
write_failed="何らかの要因によりアップデートが行えません　　　　　"
list_failed="アンインストレーションファイルの更新に失敗しました　"
completed="アップデートが完了しました　　　　　　　　　　　　　"
# The exit status (the program's modulo 256) and the one box that ends the run.
expect() {
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1; the program said: $output"
  local box="[$2] $caption"$'\n'"$3"$'\n'
  [[ "$output" == *"$box"* ]] || fail "no box '[$2] $caption / $3' in: $output"
  [ "$(grep -cE '^\[(information|warning)\]' <<<"$output")" -eq 1 ] || fail "not exactly one outcome box in: $output"
}

# Temporaries, backups, rewrites and the journal: none, or (with an
# argument) exactly those that were there before the run.
leftovers() { find "$game" -name '*.tmp' -o -name '*.lumetria-bak*' -o -name '*.new' -o -name 'lumetria-patch.journal' | sort; }
expect_no_leftovers() {
  local left
  left=$(leftovers)
  [ "$left" = "${1:-}" ] || fail "leftovers: $left"
}

expect_new_files() {
  for entry in "$work/entries"/*; do
    cmp -s "$entry" "$game/$(basename "$entry")" || fail "$(basename "$entry") is not the new one"
  done
}

merged_list() { printf 'data01100.arc\ndata01110.arc\n'; voices; printf 'tlm.hvl\nreadme.txt\n\0'; }

# case | what else the folder holds | blocks left free for the run | how it must end
# write: the write-failure message (UPDATE_E_WRITE), the folder exactly as
#   before; with the space freed, the next run installs everything.
# list: the files installed, then the uninstall list cannot be rewritten
#   (UPDATE_E_UNINSTALL_LIST; the hash list's prune fails quietly or fits);
#   with the space freed, the next start repairs the list.
# The temporary of the last entry, left by a run killed earlier, takes
# three blocks until the run reaches that entry: the room it frees then
# would hold the last file, were a file short before it taken as whole.
while IFS='|' read -r case prepare free outcome; do
  make_game
  eval "$prepare"
  free=$((free))
  leave_free "$free" || continue
  before=$(snapshot) left_before=$(leftovers)
  run 'y\n\n'
  if [ "$outcome" = write ]; then
    expect 4 warning "$write_failed"
    [ "$before" = "$(snapshot)" ] || fail "the folder changed: $(diff <(echo "$before") <(snapshot))"
    expect_no_leftovers "$left_before"

    rm -f "$ballast"
    run 'y\n\n'
    expect 0 information "$completed"
    expect_new_files
    merged_list | cmp -s - "$game/uninst.lst" || fail "uninst.lst not merged after the space was freed"
    expect_no_leftovers
  else
    expect 5 warning "$list_failed"
    expect_new_files
    cmp -s "$work/uninst.lst.before" "$game/uninst.lst" || fail "uninst.lst changed"
    # The records are to be done again: the journal stays, and so do the
    # originals' backups until they are.
    journal_left || fail "no journal was kept for the uninstall list"
    expect_no_leftovers "$(printf '%s\n' "$game/data01100.arc.lumetria-bak" "$game/data01110.arc.lumetria-bak" | sort)"

    # With room again, the next start repairs the list and says the update
    # is complete, without asking again.
    rm -f "$ballast"
    run '\n'
    expect 0 information "$completed"
    expect_new_files
    merged_list | cmp -s - "$game/uninst.lst" || fail "uninst.lst not repaired at the next start"
    expect_no_leftovers
  fi
  journal_left && fail "a journal was left"
done <<'CASES'
no room at all|:|0|write
room for half the payload|:|T / 2|write
one block short of the payload|:|T - 1|write
one block short, a stale temporary after it|head -c $((3 * block)) /dev/urandom >"$game/readme.txt.tmp"|T - 2|write
the files, nothing more|:|T|list
the files and the hash list but not the uninstall list|:|T + 2|list
CASES

if [ $failures -ne 0 ]; then
  echo "disk_full: $failures failures" >&2
  exit 1
fi
echo "disk_full: every case passed"
