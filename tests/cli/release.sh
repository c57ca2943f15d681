#!/usr/bin/env bash
# scripts/release from end to end on a small payload, with a code-signing
# certificate this script makes: the release folder holds the signed patch,
# manifest.json and SHA256SUMS and nothing else; sha256sum -c and
# osslsigncode verify pass; the manifest names the stub that was built and
# every entry with its size and fingerprint; and the released patch.exe
# applies under Wine (apply_timer clicks Yes and waits for the outcome box),
# bringing an installation to the payload byte for byte. A step that fails
# (a key that does not belong to the certificate) leaves no release and no
# partial folder, and an existing release is never written over.
#   tests/cli/release.sh <source-root> <wine-run> <prefix> <win64: 0|1> <build-dir> <hash_suffix.exe> <apply_timer.exe>
# The stub is built with the win64 preset when <win64> is 1 (where i386
# programs cannot run), else win32. scripts/release builds it and the native
# patchkit in <build-dir>, which is kept between runs.
set -uo pipefail
source_root=$1 wine_run=$2 prefix=$3 win64=$4 build_dir=$5 suffix=$6 timer=$7
wine_args=()
preset=win32
[ "$win64" = 1 ] && wine_args=(--win64) preset=win64
step="setup"
failures=0
fail() { echo "FAIL [$step]: $*" >&2; failures=$((failures + 1)); }
die() { echo "release test: $*" >&2; exit 1; }
wine() { "$wine_run" "${wine_args[@]}" "$prefix" "$@"; }
game_key='HKLM\Software\PELWIN SOFT\Lumetria'

for tool in openssl osslsigncode sha256sum python3; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup installs it)"
done
[ -n "${DISPLAY:-}" ] || die "patch.exe needs an X display: set DISPLAY (scripts/test starts Xvfb)"

work=$(mktemp -d)
cleanup() {
  wine reg delete "$game_key" /f >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
winpath() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }

step="certificate"
make_cert() {
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 7 -subj "/CN=$1" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$work/$2.key" -out "$work/$2.crt" >/dev/null 2>&1 || die "openssl cannot make a certificate"
}
make_cert "Lumetria release test" signing
make_cert "Someone else" other

# The payload: the archive the version check reads, as the patch installs
# it; a file that replaces an installed one; a new file.
step="payload"
mkdir -p "$work/payload"
head -c 6000 /dev/urandom >"$work/payload/data01110.arc"
wine "$suffix" "$(winpath "$work/payload/data01110.arc")" D5DB29012F39456F >/dev/null ||
  die "cannot fingerprint the payload"
head -c 300000 /dev/urandom >"$work/payload/data01100.arc"
printf 'release\r\n' >"$work/payload/readme.txt"

release() {
  "$source_root/scripts/release" --stub-preset "$preset" --build-dir "$build_dir" --hash-list "$@"
}

step="release"
out=$work/out
release --sign "$work/signing.crt" "$work/signing.key" --name Lumetria-test.exe "$work/payload" "$out" \
  >"$work/release.log" 2>&1 || { cat "$work/release.log" >&2; die "scripts/release fails"; }
patch=$out/Lumetria-test.exe
contents=$(cd "$out" && ls -A | tr '\n' ' ')
[ "$contents" = "Lumetria-test.exe SHA256SUMS manifest.json " ] || fail "the release holds: $contents"
(cd "$out" && sha256sum -c SHA256SUMS) >"$work/sums.log" 2>&1 || fail "sha256sum -c fails: $(cat "$work/sums.log")"
[ "$(grep -c ': OK$' "$work/sums.log")" = 2 ] || fail "SHA256SUMS does not cover the patch and the manifest: $(cat "$work/sums.log")"
osslsigncode verify -CAfile "$work/signing.crt" -in "$patch" >"$work/verify.log" 2>&1 ||
  fail "osslsigncode does not verify the released patch: $(cat "$work/verify.log")"
grep -q "Subject: /CN=Lumetria release test" "$work/verify.log" || fail "the signer is not the test certificate"
ls -A "$(dirname "$out")" | grep -q '^\.release-partial' && fail "a partial folder is left beside the release"

# The manifest against the files themselves.
step="manifest"
stub=$build_dir/$preset/app/patch.exe
python3 - "$out/manifest.json" "$patch" "$stub" "$preset" "$work/payload" <<'PY' || fail "the manifest does not describe the release"
import hashlib, json, os, sys
manifest_path, patch, stub, preset, payload = sys.argv[1:]
m = json.load(open(manifest_path))
sha = lambda p: hashlib.sha256(open(p, "rb").read()).hexdigest()
problems = []
def want(cond, what):
    if not cond:
        problems.append(what)
want(m["patch"] == {"file": "Lumetria-test.exe", "size": os.path.getsize(patch), "sha256": sha(patch)}, "patch: %r" % m["patch"])
want(m["signed"] is True and m["signer"] == "/CN=Lumetria release test", "signed/signer")
want(m["stub"]["sha256"] == sha(stub) and m["stub"]["size"] == os.path.getsize(stub), "stub hash and size")
want(m["stub"]["preset"] == preset and m["stub"]["version"] == "2.0.0", "stub preset and version")
names = [e["name"] for e in m["entries"]]
want(names == ["TLM.hvl", "data01100.arc", "data01110.arc", "readme.txt"], "entries: %r" % names)
for e in m["entries"][1:]:
    want(e["size"] == os.path.getsize(os.path.join(payload, e["name"])), "size of " + e["name"])
    want(e["installs_as"] == e["name"] and len(e["fingerprint"]) == 16, "record of " + e["name"])
want(m["entries"][2]["fingerprint"] == "D5DB29012F39456F", "fingerprint of data01110.arc")
for p in problems:
    print("manifest:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
# The patch begins with the stub the manifest names.
[ "$(cmp -l -n "$(stat -c %s "$stub")" "$stub" "$patch" | wc -l)" -le 12 ] ||
  fail "the released patch does not start with the built stub"

# The released patch.exe applied under Wine.
step="apply"
mkdir -p "$work/game"
head -c 4000 /dev/urandom >"$work/game/data01110.arc"
wine "$suffix" "$(winpath "$work/game/data01110.arc")" DEDE0353B57306CE >/dev/null || die "cannot fingerprint the archive"
echo old >"$work/game/data01100.arc"
printf 'data01100.arc\r\ndata01110.arc\r\n' >"$work/game/uninst.lst"
wine reg add "$game_key" /v InstalledFolder /d "$(winpath "$work/game")" /f >/dev/null 2>&1 ||
  die "cannot set the registry value"
wine "$timer" patch "$(winpath "$patch")" >"$work/timer.out"
status=$?
[ $status -eq 0 ] || fail "the released patch did not complete (apply_timer status $status)"
for file in "$work"/payload/*; do
  cmp -s "$file" "$work/game/${file##*/}" || fail "${file##*/} is not the payload's"
done
installed=$(cd "$work/game" && find . -mindepth 1 -printf '%P\n' | sort | tr '\n' ' ')
[ "$installed" = "TLM.hvl data01100.arc data01110.arc readme.txt uninst.lst " ] || fail "the installation holds: $installed"

# A failing step leaves nothing; a release is never written over.
step="failures"
release --sign "$work/signing.crt" "$work/other.key" "$work/payload" "$work/bad" >"$work/bad.log" 2>&1 &&
  fail "scripts/release signs with a key that is not the certificate's"
grep -q 'no release written' "$work/bad.log" || fail "no clear message: $(cat "$work/bad.log")"
[ -e "$work/bad" ] && fail "a failed release left $work/bad"
ls -A "$work" | grep -q '^\.release-partial' && fail "a failed release left a partial folder"
before=$(cd "$out" && sha256sum -- *)
release "$work/payload" "$out" >"$work/again.log" 2>&1 && fail "scripts/release writes over an existing release"
[ "$before" = "$(cd "$out" && sha256sum -- *)" ] || fail "the existing release changed"
# Unsigned: the manifest says so.
release "$work/payload" "$work/unsigned" >"$work/unsigned.log" 2>&1 || fail "an unsigned release fails: $(cat "$work/unsigned.log")"
grep -q '"signed": false' "$work/unsigned/manifest.json" 2>/dev/null || fail "the unsigned release's manifest does not say unsigned"

if [ $failures -ne 0 ]; then
  echo "release test: $failures failures" >&2
  exit 1
fi
echo "release test: every check passed"
