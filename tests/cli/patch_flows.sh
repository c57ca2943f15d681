#!/usr/bin/env bash
# The POSIX build of the patch from end to end: a payload appended to the
# program by patchkit, an installation whose archive has the fingerprint the
# version check expects, the registry stand-in, answers typed at the prompts,
# and the exit status and installation checked after each flow.
#   tests/cli/patch_flows.sh <patch program> <patchkit> <hash_suffix> <stop_at_create library>
# Exit statuses are those of the program modulo 256 (-1 is 255, 0x80000006
# is 6).
set -uo pipefail
program=$1 patchkit=$2 suffix=$3 stopper=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL [$flow]: $*" >&2; failures=$((failures + 1)); }

export XDG_RUNTIME_DIR=$work/run LUMETRIA_REGISTRY=$work/registry.reg
mkdir -p "$XDG_RUNTIME_DIR"
locks=$XDG_RUNTIME_DIR/lumetria-patch
mkdir -p "$locks"
updater_lock=$locks/Updater_20for_20Lumetria_20is_20executing_2e.lock
engine_lock=$locks/Talmoret_20for_20Lumetria_20is_20executing_2e.lock

strip -o "$work/stub" "$program" 2>/dev/null || cp "$program" "$work/stub"

# The payload: the archive as the patch installs it, another archive, a
# text file, and (for the flows that stop mid-run) a large file.
make_payload() {
  rm -rf "$work/payload" && mkdir -p "$work/payload"
  head -c 6000 /dev/urandom >"$work/payload/data01110.arc"
  "$suffix" "$work/payload/data01110.arc" D5DB29012F39456F >/dev/null || fail "cannot fingerprint the payload"
  head -c 2100000 /dev/urandom >"$work/payload/data01100.arc"
  echo patched >"$work/payload/readme.txt"
  [ "${1:-}" = big ] && head -c 96000000 /dev/zero >"$work/payload/zbig.arc"
  if ! "$patchkit" build --hash-list --stub "$work/stub" --out "$work/patched" "$work/payload" >/dev/null; then
    echo "patch_flows: patchkit cannot build the patch (is the program below 1 MiB?)" >&2
    exit 1
  fi
  chmod +x "$work/patched"
}

# The installation to update, and the registry value that finds it.
make_game() {
  rm -rf "$work/game" && mkdir -p "$work/game"
  head -c 4000 /dev/urandom >"$work/game/data01110.arc"
  "$suffix" "$work/game/data01110.arc" DEDE0353B57306CE >/dev/null || fail "cannot fingerprint the archive"
  echo old >"$work/game/data01100.arc"
  printf 'data01100.arc\r\ndata01110.arc\r\n' >"$work/game/uninst.lst"
  # The stand-in's protected values (the journal) beside the registry file.
  rm -rf "$LUMETRIA_REGISTRY.values"
  cat >"$LUMETRIA_REGISTRY" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\PELWIN SOFT\\Lumetria]
"InstalledFolder"="\\"$work/game\\""
REG
}

snapshot() { (cd "$work/game" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }

# Runs the patch with the given answers; sets status and output.
run() {
  # A run that has not ended after a minute is killed (status 124): the
  # flow fails and the next one still runs.
  output=$(printf "$1" 2>/dev/null | timeout -k 5 60 "$work/patched" 2>&1; echo "status=${PIPESTATUS[1]}")
  status=${output##*status=}
  output=${output%status=*}
}

caption="「Lumetria」 ver 1.01 更新パッチ"
# The exit status, and (with a kind and a text) one whole box as the
# terminal shows it: the kind and the caption on one line, then the whole
# text, ending where the box's text ends.
expect() {
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
  [ -n "${2:-}" ] || return 0
  local box="[$2] $caption"$'\n'"$3"$'\n'
  [[ "$output" == *"$box"* ]] || fail "no box '[$2] $caption / $3' in: $output"
}

# Nothing of the run's own is left: temporaries, backups, rewrites, journal.
expect_no_leftovers() {
  [ -z "$(find "$work/game" -name '*.tmp' -o -name '*.lumetria-bak*' -o -name '*.new' -o -name '*.journal')" ] ||
    fail "leftovers"
  [ -z "$(ls -A "$LUMETRIA_REGISTRY.values" 2>/dev/null)" ] || fail "a journal was left"
}

flow="success"
make_payload; make_game
run 'y\n\n'
expect 0 information "アップデートが完了しました　　　　　　　　　　　　　"
cmp -s "$work/payload/data01100.arc" "$work/game/data01100.arc" || fail "data01100.arc not replaced"
cmp -s "$work/payload/readme.txt" "$work/game/readme.txt" || fail "readme.txt not installed"
printf 'data01100.arc\ndata01110.arc\ntlm.hvl\nreadme.txt\n\0' | cmp -s - "$work/game/uninst.lst" ||
  fail "uninst.lst not merged"
expect_no_leftovers

flow="declined"
make_game; before=$(snapshot)
run 'n\n'
expect 253 question "アップデートを行いますか？　　　　　　　　　　　　　"
grep -q "インストール中" <<<"$output" && fail "the update ran"
[ "$before" = "$(snapshot)" ] || fail "installation changed"

flow="second copy"
make_game; before=$(snapshot)
# The lock is held on a descriptor of this script, released by closing it.
exec 9>"$updater_lock"; flock -n 9 || fail "cannot take the lock"
run 'y\n\n'
exec 9>&-
[ "$status" -gt 0 ] && [ "$status" -lt 255 ] || fail "status $status is not a handle value"
[ -z "$output" ] || fail "a second copy said: $output"
[ "$before" = "$(snapshot)" ] || fail "installation changed"

flow="game running"
make_game; rm -f "$LUMETRIA_REGISTRY"
exec 9>"$engine_lock"; flock -n 9 || fail "cannot take the lock"
run '\n'
exec 9>&-
expect 254 warning "ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません"

# Preconditions: each prepares the installation, then gives its message.
while IFS='|' read -r flow prepare message; do
  make_game
  eval "$prepare"
  message=$(printf '%b' "$message")
  before=$(snapshot)
  run '\n'
  expect 255 warning "$message"
  [ "$before" = "$(snapshot)" ] || fail "installation changed"
done <<'FLOWS'
not installed|rm -f "$LUMETRIA_REGISTRY"|ゲームがインストールされていません　　　　　　　　　
already patched|cp "$work/payload/data01110.arc" "$work/game/data01110.arc"|パッチは適用済みです　　　　　　　　　　　　　　　　
other content|echo other >"$work/game/data01110.arc"|新しいバージョンのパッチを適用済みな可能性があります
empty archive|: >"$work/game/data01110.arc"|新しいバージョンのパッチを適用済みな可能性があります
missing archive|rm "$work/game/data01110.arc"|バージョンチェックに失敗しました。正しくインストール\nされていないか、データが壊れている可能性があります　　
FLOWS

flow="damaged payload"
make_game; before=$(snapshot)
cp "$work/patched" "$work/patched.good"
size=$(stat -c %s "$work/patched")
printf '\x55' | dd of="$work/patched" bs=1 seek=$((size - 20)) conv=notrunc 2>/dev/null
run 'y\n\n'
expect 1 warning "アップデートプログラムが破損している可能性があります"
[ "$before" = "$(snapshot)" ] || fail "installation changed"
mv "$work/patched.good" "$work/patched"

flow="destination held open"
make_game; before=$(snapshot)
exec 8<"$work/game/data01100.arc"; flock -s -n 8 || fail "cannot hold the file"
run 'y\n\n'
exec 8<&-
expect 4 warning "何らかの要因によりアップデートが行えません　　　　　"
[ "$before" = "$(snapshot)" ] || fail "installation changed"

flow="no uninstall list"
make_game; rm "$work/game/uninst.lst"
run 'y\n\n'
expect 5 warning "アンインストレーションファイルの更新に失敗しました　"
cmp -s "$work/payload/data01100.arc" "$work/game/data01100.arc" || fail "the new files were not kept"
[ ! -e "$work/game/uninst.lst" ] || fail "uninst.lst was created"

# Types an answer on descriptor 7. The write is made in a subshell: should
# the program have ended already, the broken pipe ends only that subshell,
# and the flow reports it and goes on to the next.
answer() {
  (echo "$1" >&7) 2>/dev/null || fail "the program had ended before the answer '$1'"
}

# Starts the patch in the background, answers Yes on descriptor 7, and
# waits until the run has created a file whose path ends with $1: the
# program stops itself there (tests/tools/stop_at_create.cpp), so the run is
# certainly part way through. Sets pid.
start_stopped_at() {
  rm -f "$work/answers" "$work/out"; mkfifo "$work/answers"
  STOP_AT_CREATE=$1 LD_PRELOAD=$stopper "$work/patched" <"$work/answers" >"$work/out" 2>&1 &
  pid=$!
  exec 7>"$work/answers"
  answer y
  local state=""
  for _ in $(seq 1 1200); do
    state=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -d' ' -f1)
    [ "$state" = T ] || [ -z "$state" ] || [ "$state" = Z ] && break
    sleep 0.05
  done
  [ "$state" = T ] || fail "the run did not reach $1 (state ${state:-gone})"
}

flow="journal in the game folder"
# The game folder is often writable by every user: a journal planted there
# is never read. The update runs as usual and leaves the file alone.
make_game; printf 'LMPJRNL2 not ours' >"$work/game/lumetria-patch.journal"
run 'y\n\n'
expect 0 information "アップデートが完了しました　　　　　　　　　　　　　"
[ "$(cat "$work/game/lumetria-patch.journal")" = "LMPJRNL2 not ours" ] || fail "the planted journal was touched"
rm -f "$work/game/lumetria-patch.journal"
expect_no_leftovers

flow="killed in the records"
# Killed once every file is in place, as the run rewrites the hash list: the
# journal (kept beside the registry) says so.
make_game
start_stopped_at "TLM.hvl.new"
kill -KILL $pid
wait $pid 2>/dev/null
exec 7>&-
[ -n "$(ls -A "$LUMETRIA_REGISTRY.values" 2>/dev/null)" ] || fail "no journal was left"
[ -e "$work/game/data01100.arc.lumetria-bak" ] || fail "no backup was left"

flow="recovery blocked"
# The next start cannot remove a backup another program holds: it says so,
# asks nothing, and keeps the journal for the start after.
exec 8<"$work/game/data01100.arc.lumetria-bak"; flock -s -n 8 || fail "cannot hold the backup"
run 'y\n\n'
exec 8<&-
expect 4 warning "何らかの要因によりアップデートが行えません　　　　　"
grep -q "アップデートを行いますか" <<<"$output" && fail "asked to update before the recovery"
[ -n "$(ls -A "$LUMETRIA_REGISTRY.values" 2>/dev/null)" ] || fail "the journal was not kept"

flow="finished at the next start"
# Free again, the start finishes the interrupted update and says it is
# complete, without asking again.
run '\n'
expect 0 information "アップデートが完了しました　　　　　　　　　　　　　"
grep -q "アップデートを行いますか" <<<"$output" && fail "asked to update an installation already updated"
cmp -s "$work/payload/data01100.arc" "$work/game/data01100.arc" || fail "data01100.arc not replaced"
grep -q "readme.txt" "$work/game/uninst.lst" || fail "uninst.lst not merged"
expect_no_leftovers

# Cancel (Ctrl+C, then Yes) and close (SIGTERM) while the run copies a large
# file: the signal arrives while the program is stopped at the large file's
# temporary, and the copy goes on until the next pump sees it.
make_payload big
for stop in cancel close; do
  flow="$stop mid-run"
  make_game; before=$(snapshot)
  start_stopped_at "zbig.arc.tmp"
  if [ $stop = cancel ]; then kill -INT $pid; else kill -TERM $pid; fi
  kill -CONT $pid
  [ $stop = cancel ] && answer y
  # Should the run still end without seeing the signal, it would wait at its
  # outcome box for an answer that never comes: fail instead of hanging.
  (sleep 60 && kill -KILL $pid) >/dev/null 2>&1 &
  watchdog=$!
  wait $pid; status=$?
  pkill -P $watchdog 2>/dev/null; kill $watchdog 2>/dev/null; wait $watchdog 2>/dev/null
  exec 7>&-
  output=$(cat "$work/out")
  if [ $stop = cancel ]; then expect 6 question "アップデートを中止しますか？　　　　　　　　　　　　"; else expect 7; fi
  grep -qE "\[(information|warning)\]" <<<"$output" && fail "a message followed the stop"
  [ "$before" = "$(snapshot)" ] || fail "installation changed"
done

flow="killed mid-run"
# Killed while it copies: the next start updates as if nothing had happened.
make_game
start_stopped_at "zbig.arc.tmp"
kill -KILL $pid
wait $pid 2>/dev/null
exec 7>&-
run 'y\n\n'
expect 0 information "アップデートが完了しました　　　　　　　　　　　　　"
cmp -s "$work/payload/zbig.arc" "$work/game/zbig.arc" || fail "zbig.arc not installed"
expect_no_leftovers

if [ $failures -ne 0 ]; then
  echo "patch_flows: $failures failures" >&2
  exit 1
fi
echo "patch_flows: every flow passed"
