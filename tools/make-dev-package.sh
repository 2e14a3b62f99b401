#!/usr/bin/env bash
# Makes the carried development package resources/firmware-PR05.pkg: a
# 2,097,152-byte image (a fixed pseudo-random stream with the PR05 revision
# block at 0x1EC000) signed with the DEVELOPMENT-ONLY key into a 71-byte
# signature (30 45 02 20 <r> 02 21 00 <s>), 2,097,229 bytes in all. The same inputs give the same bytes.
# Usage: tools/make-dev-package.sh [FWPKG [OUTPUT]]
#   FWPKG defaults to build/linux/tools/fwpkg (cmake --build --preset linux --target fwpkg).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fwpkg=${1:-$root/build/linux/tools/fwpkg}
out=${2:-$root/resources/firmware-PR05.pkg}
anchors=$root/anchors/development-only

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Image filler: AES-128-CTR keystream under a fixed key, a stand-in for firmware.
head -c 2097152 /dev/zero |
  openssl enc -aes-128-ctr -nosalt -K 4b4f5256414e45582d565837324d2d31 \
    -iv 00000000000000000000000000000000 -out "$work/image.bin"
# Revision block (256 bytes at 0x1EC000): vendor, product, revision, then zeros.
{
  printf 'KORVANEX'
  printf 'BD-RE VX72M     '
  printf 'PR05'
  head -c 228 /dev/zero
} >"$work/revision.bin"
dd if="$work/revision.bin" of="$work/image.bin" bs=1 seek=$((0x1EC000)) conv=notrunc status=none

"$fwpkg" make --image "$work/image.bin" --key "$anchors/dm.key" --sig-len 71 --int-lens 32,33 --out "$out"
"$fwpkg" verify "$out" --cert "$anchors/dm.crt"
"$fwpkg" inspect "$out"
