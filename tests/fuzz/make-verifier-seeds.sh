#!/usr/bin/env bash
# Writes the verifier target's seed corpus: small packages signed with the
# development signing key, and the shapes around each length check.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
key=$here/../../anchors/development-only/dm.key
out=$here/corpus/verifier_package
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# package NAME IMAGE-FILE [SIGNATURE-FILE [SIG-LEN-OVERRIDE]]
package() {
  local name=$1 image=$2 sig=${3:-} len
  len=$(stat -c %s "$image")
  {
    printf '%08x' "$len" | xxd -r -p
    cat "$image"
    if [ -n "$sig" ]; then
      printf '%04x' "${4:-$(stat -c %s "$sig")}" | xxd -r -p
      cat "$sig"
    fi
  } >"$out/$name"
}

signed() {
  openssl dgst -sha256 -sign "$key" -out "$work/$1.sig" "$work/$1"
}

head -c 16 /dev/zero | tr '\0' 'A' >"$work/small"; signed small
head -c 4096 /dev/urandom >"$work/page"; signed page
head -c 4097 /dev/urandom >"$work/page1"; signed page1

package valid-16 "$work/small" "$work/small.sig"
package valid-4096 "$work/page" "$work/page.sig"
package valid-4097 "$work/page1" "$work/page1.sig"
package no-signature "$work/small"
head -c 141 /dev/zero >"$work/zero141"
package sig-len-141 "$work/small" "$work/zero141"
package sig-len-142 "$work/small" "$work/small.sig" 142
head -c $(($(stat -c %s "$out/valid-16") - 5)) "$out/valid-16" >"$out/cut-in-signature"
printf '\x00\x00\x00\x00' >"$out/zero-length"
printf '\x00\x00\x10\x00abc' >"$out/image-longer-than-file"
printf '\x00\x00' >"$out/short-length"
