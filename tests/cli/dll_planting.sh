#!/usr/bin/env bash
# DLL planting: patch.exe runs as administrator from a downloads folder that
# anyone can write to. DLLs planted there under the names of system DLLs
# that are not KnownDLLs (comctl32, which the progress dialog needs, and
# those the system loads by name while the patch runs) must not be loaded,
# and the patch must still do its work.
#
# Wine normally prefers its own builtin DLLs to any file of the same name;
# told to prefer native ones (the DllOverrides "native,builtin" of the
# program's AppDefaults key, which only a program of that file name sees),
# its loader looks for them as Windows does, beside the program first. A
# probe that loads each name by itself, with the search as Windows leaves
# it, shows that the planted copies would be loaded there. Then the real
# patch, under the same conditions, applies an update (apply_timer clicks
# Yes and waits for the completion box): no planted DLL may have been
# loaded (each leaves a marker and ends the process with status 86), and
# the update must be installed.
#   tests/cli/dll_planting.sh <wine-run> <prefix> <win64: 0|1> <patch.exe> <patchkit> <hash_suffix>
#                             <apply_timer.exe> <planted.dll> <dll_probe.exe>
set -uo pipefail
wine_run=$1 prefix=$2 win64=$3 stub=$4 patchkit=$5 suffix=$6 timer=$7 planted=$8 probe=$9
wine_args=()
[ "$win64" = 1 ] && wine_args=(--win64)
step="setup"
failures=0
fail() { echo "FAIL [$step]: $*" >&2; failures=$((failures + 1)); }
die() { echo "dll_planting: $*" >&2; exit 1; }
wine() { "$wine_run" "${wine_args[@]}" "$prefix" "$@"; }
game_key='HKLM\Software\PELWIN SOFT\Lumetria'
# Names no other test runs, so the overrides reach no other program.
patch_name=lumetria-planting-patch.exe
probe_name=lumetria-planting-probe.exe
app_key='HKCU\Software\Wine\AppDefaults'
# comctl32 is what patch.exe used to import; the others are loaded by name
# while the program shows its boxes and its dialog (found with
# WINEDEBUG=+loaddll), so they show whether the whole process's search is
# narrowed, not only comctl32's load.
planted_names="comctl32 uxtheme"

[ -n "${DISPLAY:-}" ] || die "patch.exe needs an X display: set DISPLAY (scripts/test starts Xvfb)"

work=$(mktemp -d)
cleanup() {
  wine reg delete "$game_key" /f >/dev/null 2>&1
  wine reg delete "$app_key\\$patch_name" /f >/dev/null 2>&1
  wine reg delete "$app_key\\$probe_name" /f >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

winpath() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }
run_tool() {
  local tool=$1 arg args=()
  shift
  if [[ $tool != *.exe ]]; then
    "$tool" "$@"
    return
  fi
  for arg in "$@"; do
    if [[ $arg == /* ]]; then args+=("$(winpath "$arg")"); else args+=("$arg"); fi
  done
  wine "$tool" "${args[@]}"
}

# The downloads folder: the patch, the probe, and a planted copy of the DLL
# under each name. Wine prefers the native DLLs for both programs.
downloads=$work/downloads
mkdir -p "$downloads"
for name in $patch_name $probe_name; do
  for dll in $planted_names; do
    wine reg add "$app_key\\$name\\DllOverrides" /v "$dll" /d native,builtin /f >/dev/null 2>&1 ||
      die "cannot set the DLL overrides"
  done
done
plant() {
  rm -f "$downloads"/*.dll "$downloads"/*.loaded
  for dll in $planted_names; do cp "$planted" "$downloads/$dll.dll"; done
}
loaded() { (cd "$downloads" && ls -- *.loaded 2>/dev/null | sed 's/\.loaded$//' | tr '\n' ' '); }

# The probe loads each planted name as a program whose search is not
# narrowed would: Wine takes the planted copy, which ends the probe with
# status 86. Otherwise this test could not see a planted DLL being loaded.
step="probe"
cp "$probe" "$downloads/$probe_name"
for dll in $planted_names; do
  plant
  wine "$downloads/$probe_name" "$dll.dll" >/dev/null 2>&1
  status=$?
  [ "$status" -eq 86 ] && [ -f "$downloads/$dll.dll.loaded" ] ||
    fail "the probe did not load the planted $dll.dll (status $status, markers: $(loaded)): Wine does not prefer it here"
done

# The update: the archive the version check reads, as the patch installs
# it, and a file that replaces an installed one.
step="build"
mkdir -p "$work/payload"
head -c 6000 /dev/urandom >"$work/payload/data01110.arc"
run_tool "$suffix" "$work/payload/data01110.arc" D5DB29012F39456F >/dev/null || die "cannot fingerprint the payload"
head -c 200000 /dev/urandom >"$work/payload/data01100.arc"
run_tool "$patchkit" build --hash-list --stub "$stub" --out "$downloads/$patch_name" "$work/payload" >/dev/null ||
  die "patchkit cannot build the patch"

mkdir -p "$work/game"
head -c 4000 /dev/urandom >"$work/game/data01110.arc"
run_tool "$suffix" "$work/game/data01110.arc" DEDE0353B57306CE >/dev/null || die "cannot fingerprint the archive"
echo old >"$work/game/data01100.arc"
printf 'data01100.arc\r\ndata01110.arc\r\n' >"$work/game/uninst.lst"
wine reg add "$game_key" /v InstalledFolder /d "$(winpath "$work/game")" /f >/dev/null 2>&1 ||
  die "cannot set the registry value"

# The patch from the downloads folder: the confirmation, Yes, the progress
# dialog (comctl32's progress bars), the completion box, exit status 0.
step="patch"
plant
wine "$timer" patch "$(winpath "$downloads/$patch_name")" >"$work/timer.out" 2>&1
timer_status=$?
markers=$(loaded)
[ -z "$markers" ] || fail "patch.exe loaded the planted DLLs: $markers"
[ "$timer_status" -eq 0 ] || fail "the patch did not complete (apply_timer status $timer_status)"
for file in "$work"/payload/*; do
  cmp -s "$file" "$work/game/${file##*/}" || fail "${file##*/} is not the payload's"
done

if [ $failures -ne 0 ]; then
  echo "dll_planting: $failures failures" >&2
  exit 1
fi
echo "dll_planting: no planted DLL was loaded ($planted_names), and the update completed"
