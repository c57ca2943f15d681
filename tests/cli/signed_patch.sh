#!/usr/bin/env bash
# A patch signed with Authenticode after patchkit built it. osslsigncode
# puts the signature at the end of the file, after the payload, and points
# the PE security directory at it; the payload container stays at 1 MiB and
# the program must read it as before. This script makes a throwaway
# code-signing certificate, builds and signs a patch, checks where the
# signature went and that osslsigncode verifies it, and then runs the signed
# patch.exe itself under Wine (apply_timer clicks Yes and waits for the
# outcome box) against an installation that it must bring to the payload
# byte for byte. A signed patch with one payload byte flipped afterwards
# must fail verification and be refused by the program, leaving the
# installation as it was.
#   tests/cli/signed_patch.sh <wine-run> <prefix> <win64: 0|1> <patch.exe> <patchkit> <hash_suffix>
#                             <apply_timer.exe> <apply_patch.exe>
# patchkit and hash_suffix run under Wine when they are .exe files.
set -uo pipefail
wine_run=$1 prefix=$2 win64=$3 stub=$4 patchkit=$5 suffix=$6 timer=$7 apply=$8
wine_args=()
[ "$win64" = 1 ] && wine_args=(--win64)
step="setup"
failures=0
fail() { echo "FAIL [$step]: $*" >&2; failures=$((failures + 1)); }
die() { echo "signed_patch: $*" >&2; exit 1; }
wine() { "$wine_run" "${wine_args[@]}" "$prefix" "$@"; }
game_key='HKLM\Software\PELWIN SOFT\Lumetria'

for tool in openssl osslsigncode; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup installs it)"
done
[ -n "${DISPLAY:-}" ] || die "patch.exe needs an X display: set DISPLAY (scripts/test starts Xvfb)"

work=$(mktemp -d)
cleanup() {
  wine reg delete "$game_key" /f >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# A path as Wine shows it: the host's file system is drive Z:.
winpath() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }
# Runs a build tool: a Win32 one under Wine with its path arguments (those
# starting with /) given as Wine paths, a native one as it is.
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

# Little-endian integers of a file at a byte offset.
u32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' \n'; }
u16() { od -An -tu2 --endian=little -j "$2" -N2 "$1" | tr -d ' \n'; }

# The payload container at 1 MiB: header (12-byte magic, u32 count), then
# 128-byte records (name field of 96 bytes, u32 offset, u32 size) and the
# data area. entry <file> <name> prints the entry's absolute offset and size.
payload_offset=$((0x100000))
entry() {
  local file=$1 wanted=$2 count i record name
  count=$(u32 "$file" $((payload_offset + 12)))
  for ((i = 0; i < count; i++)); do
    record=$((payload_offset + 16 + i * 128))
    name=$(dd if="$file" bs=1 skip="$record" count=96 2>/dev/null | tr '\0' '\n' | head -n 1)
    if [ "$name" = "$wanted" ]; then
      echo $((payload_offset + 16 + count * 128 + $(u32 "$file" $((record + 96))))) "$(u32 "$file" $((record + 100)))"
      return 0
    fi
  done
  return 1
}
# Where the payload ends: the end of its last-reaching entry.
payload_end() {
  local file=$1 count i record end=0 last
  count=$(u32 "$file" $((payload_offset + 12)))
  for ((i = 0; i < count; i++)); do
    record=$((payload_offset + 16 + i * 128))
    last=$((payload_offset + 16 + count * 128 + $(u32 "$file" $((record + 96))) + $(u32 "$file" $((record + 100)))))
    [ $last -gt $end ] && end=$last
  done
  echo $end
}

# The certificate: RSA 2048, self-signed, for code signing only.
step="certificate"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 7 -subj "/CN=Lumetria test signing" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$work/signing.key" -out "$work/signing.crt" >/dev/null 2>&1 || die "openssl cannot make the certificate"
openssl x509 -in "$work/signing.crt" -noout -ext extendedKeyUsage 2>/dev/null | grep -q "Code Signing" ||
  die "the certificate is not for code signing"

# The payload: the archive the version check reads, as the patch installs
# it; a larger file that replaces an installed one; a file that is new.
step="build"
mkdir -p "$work/payload"
head -c 6000 /dev/urandom >"$work/payload/data01110.arc"
run_tool "$suffix" "$work/payload/data01110.arc" D5DB29012F39456F >/dev/null || die "cannot fingerprint the payload"
head -c 1500000 /dev/urandom >"$work/payload/data01100.arc"
printf 'signed patch\r\n' >"$work/payload/readme.txt"
run_tool "$patchkit" build --hash-list --stub "$stub" --out "$work/unsigned.exe" "$work/payload" >/dev/null ||
  die "patchkit cannot build the patch"
unsigned_size=$(stat -c %s "$work/unsigned.exe")
[ "$(payload_end "$work/unsigned.exe")" -eq "$unsigned_size" ] ||
  die "the payload does not end at the end of the unsigned patch: cannot read its directory"

step="sign"
osslsigncode sign -certs "$work/signing.crt" -key "$work/signing.key" -h sha256 -n "Lumetria update" \
  -in "$work/unsigned.exe" -out "$work/signed.exe" >"$work/sign.log" 2>&1 ||
  { cat "$work/sign.log" >&2; die "osslsigncode cannot sign the patch"; }
signed=$work/signed.exe
signed_size=$(stat -c %s "$signed")

step="verify"
osslsigncode verify -CAfile "$work/signing.crt" -in "$signed" >"$work/verify.log" 2>&1 ||
  fail "osslsigncode does not verify the signed patch: $(cat "$work/verify.log")"
grep -q "Signature verification: ok" "$work/verify.log" || fail "no verified signature reported"
grep -q "Subject: /CN=Lumetria test signing" "$work/verify.log" || fail "the signer is not the test certificate"
# patchkit judges the signed patch as the program would, and sees the signature.
run_tool "$patchkit" verify "$signed" >"$work/patchkit-verify.log" 2>&1 ||
  fail "patchkit verify refuses the signed patch: $(cat "$work/patchkit-verify.log")"
grep -q "note: Authenticode signature: " "$work/patchkit-verify.log" ||
  fail "patchkit verify does not report the signature: $(cat "$work/patchkit-verify.log")"
# Without a signature the verification fails, so passing it above means something.
osslsigncode verify -CAfile "$work/signing.crt" -in "$work/unsigned.exe" >/dev/null 2>&1 &&
  fail "osslsigncode verifies the unsigned patch"

# The signature in the PE security directory (data directory 4), at the end
# of the file after the payload; the file before it is the unsigned patch
# but for the two header fields signing writes.
step="layout"
pe=$(u32 "$signed" $((0x3c)))
optional=$((pe + 24))
magic=$(u16 "$signed" $optional)
if [ "$magic" = $((0x10b)) ]; then
  directories=$((optional + 96))   # PE32
elif [ "$magic" = $((0x20b)) ]; then
  directories=$((optional + 112))  # PE32+
else
  die "the signed patch has no PE optional header"
fi
security=$((directories + 4 * 8))
checksum=$((optional + 64))
cert_offset=$(u32 "$signed" $security)
cert_size=$(u32 "$signed" $((security + 4)))
[ "$(u32 "$work/unsigned.exe" $security)" = 0 ] || fail "the unsigned patch already has a security directory"
[ "$cert_offset" -eq $(((unsigned_size + 7) / 8 * 8)) ] ||
  fail "the signature starts at $cert_offset, not right after the payload (which ends at $unsigned_size)"
[ $((cert_offset + cert_size)) -eq "$signed_size" ] ||
  fail "the signature ($cert_offset + $cert_size) does not end the file ($signed_size bytes)"
# WIN_CERTIFICATE: length, revision 2.0, PKCS#7 signed data.
[ "$(u32 "$signed" "$cert_offset")" = "$cert_size" ] || fail "the certificate table's length is not its size"
[ "$(u16 "$signed" $((cert_offset + 4)))" = $((0x200)) ] || fail "the certificate revision is not 2.0"
[ "$(u16 "$signed" $((cert_offset + 6)))" = 2 ] || fail "the certificate is not PKCS#7 signed data"
[ -z "$(dd if="$signed" bs=1 skip="$unsigned_size" count=$((cert_offset - unsigned_size)) 2>/dev/null | tr -d '\0')" ] ||
  fail "the padding before the signature is not zero"
while read -r position _ _; do
  offset=$((position - 1))
  if ! { [ $offset -ge $checksum ] && [ $offset -lt $((checksum + 4)) ]; } &&
    ! { [ $offset -ge $security ] && [ $offset -lt $((security + 8)) ]; }; then
    fail "signing changed byte $offset of the patch"
    break
  fi
done < <(cmp -l -n "$unsigned_size" "$work/unsigned.exe" "$signed")
read -r hvl_offset hvl_size < <(entry "$signed" TLM.hvl) || die "no TLM.hvl in the signed patch"
dd if="$signed" bs=1 skip="$hvl_offset" count="$hvl_size" of="$work/TLM.hvl" 2>/dev/null

# The installation: the archive of the version the patch applies to, an old
# data01100.arc, and the uninstall list. The registry value finds it.
make_game() {
  rm -rf "$work/game" && mkdir -p "$work/game"
  head -c 4000 /dev/urandom >"$work/game/data01110.arc"
  run_tool "$suffix" "$work/game/data01110.arc" DEDE0353B57306CE >/dev/null || die "cannot fingerprint the archive"
  echo old >"$work/game/data01100.arc"
  printf 'data01100.arc\r\ndata01110.arc\r\n' >"$work/game/uninst.lst"
}
# Names, types, modes and sizes, and every file's contents.
snapshot() { (cd "$work/game" && find . -printf '%y %m %s %P\n' | sort && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
wine reg add "$game_key" /v InstalledFolder /d "$(winpath "$work/game")" /f >/dev/null 2>&1 ||
  die "cannot set the registry value"

# The real signed patch.exe: Yes, then the completion box. apply_timer
# prints how long that took (not checked) once it saw the outcome box, and
# exits 0 only for the completion box and exit status 0.
run_patch() {
  wine "$timer" patch "$(winpath "$1")" >"$work/timer.out"
  timer_status=$?
  timer_output=$(tr -d '\r' <"$work/timer.out")
}

step="apply signed patch"
make_game
run_patch "$signed"
[ "$timer_status" -eq 0 ] || fail "the signed patch did not complete (apply_timer status $timer_status)"
for file in "$work"/payload/*; do
  cmp -s "$file" "$work/game/${file##*/}" || fail "${file##*/} is not the payload's"
done
cmp -s "$work/TLM.hvl" "$work/game/TLM.hvl" || fail "TLM.hvl is not the payload's"
installed=$(cd "$work/game" && find . -mindepth 1 -printf '%P\n' | sort | tr '\n' ' ')
[ "$installed" = "TLM.hvl data01100.arc data01110.arc readme.txt uninst.lst " ] ||
  fail "the installation holds: $installed"
listed=$(tr -d '\r\0' <"$work/game/uninst.lst")
grep -qx readme.txt <<<"$listed" || fail "uninst.lst does not list the new file: $listed"
grep -qx data01100.arc <<<"$listed" && grep -qx data01110.arc <<<"$listed" ||
  fail "uninst.lst lost an entry: $listed"

# One byte of data01100.arc flipped after signing: the signature no longer
# matches, and the program's own check of the entry refuses the update.
step="damaged signed patch"
read -r data_offset data_size < <(entry "$signed" data01100.arc) || die "no data01100.arc in the signed patch"
damaged=$work/damaged.exe
cp "$signed" "$damaged"
position=$((data_offset + data_size / 2))
byte=$(od -An -tu1 -j $position -N1 "$damaged" | tr -d ' ')
printf "\\x$(printf %02x $((byte ^ 0xff)))" | dd of="$damaged" bs=1 seek=$position conv=notrunc 2>/dev/null
[ "$(cmp -l "$signed" "$damaged" | wc -l)" -eq 1 ] || die "cannot flip one byte of the signed patch"
osslsigncode verify -CAfile "$work/signing.crt" -in "$damaged" >"$work/verify-damaged.log" 2>&1 &&
  fail "osslsigncode verifies the damaged patch"
grep -q MISMATCH "$work/verify-damaged.log" || fail "osslsigncode reports no digest mismatch"
run_tool "$patchkit" verify --quiet "$damaged" >"$work/patchkit-damaged.log" 2>&1 &&
  fail "patchkit verify passes the damaged patch"
grep -q "(data01100.arc): fingerprint" "$work/patchkit-damaged.log" ||
  fail "patchkit verify does not name the damaged entry: $(cat "$work/patchkit-damaged.log")"
make_game
before=$(snapshot)
run_patch "$damaged"
# A status of 1 with the time printed: after Yes an outcome box came that
# was not the completion. (Without the time, the confirmation never came.)
[ "$timer_status" -eq 1 ] && [ -n "$timer_output" ] ||
  fail "the damaged patch was not refused after Yes (apply_timer status $timer_status, output '$timer_output')"
[ "$before" = "$(snapshot)" ] || fail "the installation changed"
# Which refusal it was: the update core on the same file reports a damaged
# payload.
result=$(wine "$apply" "$(winpath "$damaged")" "$(winpath "$work/game")" | tr -d '\r')
[ "$result" = "result 0x80000001" ] || fail "the update core says '$result', not a damaged payload (0x80000001)"
[ "$before" = "$(snapshot)" ] || fail "the installation changed"

if [ $failures -ne 0 ]; then
  echo "signed_patch: $failures failures" >&2
  exit 1
fi
echo "signed_patch: every check passed"
