#!/usr/bin/env bash
# Makes the trust anchor folders that the verifier tests build verifiers with.
# Usage: make-test-anchors.sh OUTDIR [WYCHEPROOF_JSON]
# Every folder gets ca.crt and dm.crt (PEM, CRLF); keys where a test signs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
make_anchors=$here/../../tools/make-anchors.sh
out=$1
json=${2:-}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

crlf() { sed -e 's/\r$//' -e 's/$/\r/' "$1" >"$2"; }
pair() { # pair DIR CA_CRT DM_CRT [DM_KEY]
  mkdir -p "$out/$1"
  cp "$2" "$out/$1/ca.crt"
  cp "$3" "$out/$1/dm.crt"
  if [ $# -gt 3 ]; then cp "$4" "$out/$1/dm.key"; fi
}

# A good pair with its keys: the reference for the variants below.
"$make_anchors" "$out/base"
base=$out/base

# Signing certificate that expired on 2020-01-01.
"$make_anchors" --dm-end 200101000000Z "$out/expired"

# Root whose keyUsage lacks keyCertSign.
"$make_anchors" --root-usage critical,digitalSignature,cRLSign "$out/no-keycertsign"

# Root with the same subject but another key.
"$make_anchors" "$work/other-key"
pair root-other-key "$work/other-key/ca.crt" "$base/dm.crt"

# Root with the same key but another subject.
"$make_anchors" --root-key "$base/ca.key" \
  --root-subject "/C=JP/O=KORVANEX Development/CN=KORVANEX Other Root CA" "$work/other-subject"
pair root-other-subject "$work/other-subject/ca.crt" "$base/dm.crt"

# Root whose self-signature has its last byte altered: still parses.
openssl x509 -in "$base/ca.crt" -outform DER -out "$work/ca.der"
size=$(stat -c %s "$work/ca.der")
last=$(tail -c 1 "$work/ca.der" | od -An -tu1 | tr -d ' ')
printf "\\x$(printf %02x $((last ^ 0x5a)))" |
  dd of="$work/ca.der" bs=1 seek=$((size - 1)) conv=notrunc status=none
openssl x509 -inform DER -in "$work/ca.der" -out "$work/ca-bad-sig.pem"
crlf "$work/ca-bad-sig.pem" "$work/ca-bad-sig.crt"
pair root-bad-selfsig "$work/ca-bad-sig.crt" "$base/dm.crt" "$base/dm.key"

# Texts that do not parse: a base64 line dropped from the certificate.
sed '3d' "$base/ca.crt" >"$work/ca-broken.crt"
sed '3d' "$base/dm.crt" >"$work/dm-broken.crt"
pair broken-root "$work/ca-broken.crt" "$base/dm.crt"
pair broken-dm "$base/ca.crt" "$work/dm-broken.crt"

# A signing certificate with an RSA key under the EC root: the chain holds,
# but there is no EC key for the signature check.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/rsa.key" 2>/dev/null
"$make_anchors" --root-key "$base/ca.key" --dm-key "$work/rsa.key" "$work/rsa"
pair rsa-dm "$base/ca.crt" "$work/rsa/dm.crt"

# Signing certificates for Wycheproof public keys (no private key exists):
# issued under the base root with openssl x509 -force_pubkey.
if [ -n "$json" ] && [ -f "$json" ]; then
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/csr.key"
  openssl req -new -key "$work/csr.key" -subj "/CN=Wycheproof test key" -out "$work/wp.csr"
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\nextendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid:always\n' >"$work/wp.ext"
  for group in 0 1; do
    python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["testGroups"][int(sys.argv[2])]["publicKeyPem"])' \
      "$json" "$group" >"$work/wp$group.pub"
    openssl x509 -req -in "$work/wp.csr" -CA "$base/ca.crt" -CAkey "$base/ca.key" \
      -force_pubkey "$work/wp$group.pub" -days 7300 -extfile "$work/wp.ext" \
      -set_serial "$((1000 + group))" -out "$work/wp$group.pem" 2>/dev/null
    crlf "$work/wp$group.pem" "$work/wp$group.crt"
    pair "wycheproof-$group" "$base/ca.crt" "$work/wp$group.crt"
  done
fi
