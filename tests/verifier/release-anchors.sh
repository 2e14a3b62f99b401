#!/usr/bin/env bash
# The release path of the trust anchors: a separate build of this source tree
# configured with -DTRUST_ANCHORS_DIR embeds that folder's ca.crt and dm.crt
# (and says nothing of development anchors), and a folder without them is
# refused at configure time.
#   release-anchors.sh SOURCE_DIR WORK_DIR ANCHORS_DIR FWPKG DEV_KEY
set -euo pipefail
src=$1
work=$2
anchors=$3
fwpkg=$4
dev_key=$5
rm -rf "$work"
mkdir -p "$work/empty"

fail() {
  echo "FAILED: $*"
  exit 1
}

if cmake -S "$src" -B "$work/refused" -DBUILD_TESTS=OFF -DTRUST_ANCHORS_DIR="$work/empty" \
  >"$work/refused.log" 2>&1; then
  fail "a TRUST_ANCHORS_DIR without ca.crt and dm.crt was accepted"
fi
# CMake wraps long messages: read the log as one line of single blanks.
tr -s ' \n' ' ' <"$work/refused.log" | grep -q "holds no ca.crt" ||
  fail "no clear message for a folder without ca.crt"
echo "ok: a folder without the certificates is refused"

cmake -S "$src" -B "$work/build" -DBUILD_TESTS=OFF -DTRUST_ANCHORS_DIR="$anchors" \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
cmake --build "$work/build" --target signvfy -j2 >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; fail "build"; }
if grep -q "DEVELOPMENT-ONLY" "$work/configure.log" "$work/build.log"; then
  fail "the development-anchors warning appeared in a build with TRUST_ANCHORS_DIR"
fi
signvfy=$work/build/verifier/signvfy
# The embedded texts are the given files: a base64 line of each is in the program.
for name in ca.crt dm.crt; do
  line=$(sed -n 3p "$anchors/$name" | tr -d '\r')
  grep -qF "$line" "$signvfy" || fail "$name of $anchors is not embedded"
done
echo "ok: the given anchors are embedded, without the development warning"

head -c 5000 /dev/urandom >"$work/image.bin"
"$fwpkg" make --image "$work/image.bin" --key "$anchors/dm.key" --out "$work/release.pkg" >/dev/null
"$fwpkg" make --image "$work/image.bin" --key "$dev_key" --out "$work/dev.pkg" >/dev/null
"$signvfy" "$work/release.pkg" || fail "a package signed for the given anchors was refused"
status=0
"$signvfy" "$work/dev.pkg" || status=$?
[ "$status" -eq 8 ] || fail "a development-signed package gave status $status, not 0xF008"
echo "ok: the given anchors decide, the development key no longer signs"
rm -rf "$work"
